// A real HTTP server on loopback for tests: its own thread, a free port, every request
// recorded as it arrived on the wire, and replies written by the test as raw bytes.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct RecordedRequest {
  std::string raw;     // request line and headers, exactly as received
  std::string target;  // "/tovimo/io.php?cmd=poll&data=...&ver=1"
  std::string path;    // "/tovimo/io.php"
  std::vector<std::pair<std::string, std::string>> headers;  // in the order sent

  // The query value for `key`, or "" when absent.
  std::string query(const std::string& key) const;
  // Every header line's name, in order.
  std::vector<std::string> header_names() const;
  std::string header(const std::string& name) const;
};

// What a handler may do with the client's connection.
class ServerConnection {
 public:
  // `tls` is the connection's TLS session, or none for plain HTTP.
  ServerConnection(int fd, const std::atomic<bool>& stopping, SSL* tls = nullptr)
      : fd_(fd), stopping_(stopping), tls_(tls) {}
  // False once the client has gone (the bytes were not all taken).
  bool send(const std::string& bytes);
  // Closes with a TCP reset instead of an orderly close.
  void reset();
  // Waits up to `ms` milliseconds, or less when the server stops; false when it stopped.
  bool pause(int ms);

 private:
  int fd_;
  const std::atomic<bool>& stopping_;
  SSL* tls_;
};

// A certificate chain and its key, PEM files: a server given one speaks https.
struct TlsIdentity {
  std::string certificate;
  std::string key;
};

// A complete reply with a Content-Length.
std::string http_reply(const std::string& body, int status = 200,
                       const std::string& extra_headers = "");

class LoopbackServer {
 public:
  using Handler = std::function<void(const RecordedRequest&, ServerConnection&)>;

  // Listens on 127.0.0.1 at `port` (0: any free port); speaks https with `tls`.
  explicit LoopbackServer(Handler handler, int port = 0, const TlsIdentity* tls = nullptr);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>/tovimo/", https when it speaks TLS, `host` in place of 127.0.0.1.
  std::string base(const std::string& host = "127.0.0.1") const;
  // Connections accepted so far, whether or not a request came over them.
  int connections() const { return connections_; }
  std::vector<RecordedRequest> requests() const;
  // The "cmd" of each command request, in order.
  std::vector<std::string> commands() const;

 private:
  void serve();
  void handle(int fd);

  Handler handler_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls_{nullptr, &SSL_CTX_free};
  std::atomic<int> connections_{0};
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
  std::thread thread_;
};

// A stand-in for the order service: replies to each command from a queue of bodies per
// command (the last one repeats), "SKIP" for the announcement unless set.
class ScriptedService {
 public:
  ScriptedService();
  void reply(const std::string& cmd, std::vector<std::string> bodies);
  void announce(const std::string& body);
  LoopbackServer& server() { return server_; }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::vector<std::string>>> replies_;
  std::string announcement_ = "SKIP";
  LoopbackServer server_;
};
