// The order service over HTTP: the command and announcement endpoints and the pages, all under
// /tovimo/, answered from an OrderStore.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "service/order_store.h"

namespace httplib {
class Server;
}

namespace svc {

struct TlsFiles {
  std::string certificate;  // PEM chain, the server's own certificate first
  std::string key;          // PEM private key
};

struct ServiceSettings {
  std::optional<std::string> announcement;  // sent by hp.php instead of "SKIP"
  std::vector<std::string> public_hosts;    // names it is reached by besides its listen address
  std::optional<TlsFiles> tls;              // serve https with these; plain http without
};

class HttpService {
 public:
  // `store` must outlive the service. Each request is logged as one line to `log` when it is
  // given.
  HttpService(OrderStore& store, ServiceSettings settings, std::ostream* log);
  ~HttpService();

  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // False when the TLS certificate or key could not be used; nothing is served then.
  bool valid() const;
  bool tls() const { return settings_.tls.has_value(); }

  // Binds the listening socket; port 0 takes any free port. The bound port, or none. Requests
  // are then served only for the Host names of this address and the settings' public hosts.
  std::optional<int> bind(const std::string& host, int port);
  // Serves requests on a thread pool until stop(); false when serving failed.
  bool run();
  // Ends run(), from any thread. A stop that comes before run() has started listening may go
  // unnoticed by the socket layer; callers that cannot exclude that call it again until run()
  // has returned.
  void stop();
  bool is_running() const;

 private:
  void route();
  void log_request(const std::string& line);

  OrderStore& store_;
  ServiceSettings settings_;
  std::ostream* log_;
  std::mutex log_mutex_;
  std::atomic<bool> stop_requested_{false};
  std::vector<std::string> served_hosts_;  // set by bind(), before any request is served
  std::unique_ptr<httplib::Server> server_;
};

}  // namespace svc
