#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

RecordedRequest parse_request(const std::string& raw) {
  RecordedRequest r;
  r.raw = raw;
  size_t line_end = raw.find("\r\n");
  const std::string request_line = raw.substr(0, line_end);
  const size_t sp1 = request_line.find(' ');
  const size_t sp2 = request_line.rfind(' ');
  if (sp1 != std::string::npos && sp2 > sp1) r.target = request_line.substr(sp1 + 1, sp2 - sp1 - 1);
  r.path = r.target.substr(0, r.target.find('?'));
  size_t pos = line_end + 2;
  while (pos < raw.size()) {
    const size_t end = raw.find("\r\n", pos);
    if (end == std::string::npos || end == pos) break;
    const std::string line = raw.substr(pos, end - pos);
    const size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    r.headers.emplace_back(line.substr(0, colon), value);
    pos = end + 2;
  }
  return r;
}

}  // namespace

std::string RecordedRequest::query(const std::string& key) const {
  const size_t q = target.find('?');
  if (q == std::string::npos) return "";
  const std::string query = "&" + target.substr(q + 1);
  const size_t at = query.find("&" + key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 2;
  return query.substr(start, query.find('&', start) - start);
}

std::vector<std::string> RecordedRequest::header_names() const {
  std::vector<std::string> names;
  for (const auto& h : headers) names.push_back(h.first);
  return names;
}

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& h : headers) {
    if (lower(h.first) == lower(name)) return h.second;
  }
  return "";
}

bool ServerConnection::send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        tls_ ? SSL_write(tls_, bytes.data() + sent, static_cast<int>(bytes.size() - sent))
             : ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;  // the client has gone
    sent += static_cast<size_t>(n);
  }
  return true;
}

void ServerConnection::reset() {
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

bool ServerConnection::pause(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    if (stopping_) return false;
    pollfd p{fd_, POLLRDHUP, 0};
    // Wakes early when the client closes: nobody listens any more.
    if (poll(&p, 1, 50) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return false;
  }
  return !stopping_;
}

std::string http_reply(const std::string& body, int status, const std::string& extra_headers) {
  return "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: text/plain\r\n" +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
         extra_headers + "\r\n" + body;
}

LoopbackServer::LoopbackServer(Handler handler, int port, const TlsIdentity* tls)
    : handler_(std::move(handler)) {
  if (tls) {
    tls_.reset(SSL_CTX_new(TLS_server_method()));
    if (!tls_ || SSL_CTX_use_certificate_chain_file(tls_.get(), tls->certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_.get(), tls->key.c_str(), SSL_FILETYPE_PEM) != 1) {
      throw std::runtime_error("cannot use the certificate " + tls->certificate);
    }
    signal(SIGPIPE, SIG_IGN);  // TLS writes to a client that has gone would raise it
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 16) != 0) {
    close(listen_fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
  }
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  thread_.join();
  close(listen_fd_);
}

std::string LoopbackServer::base(const std::string& host) const {
  return (tls_ ? "https://" : "http://") + host + ":" + std::to_string(port_) + "/tovimo/";
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> LoopbackServer::commands() const {
  std::vector<std::string> cmds;
  for (const RecordedRequest& r : requests()) {
    if (r.path == "/tovimo/io.php") cmds.push_back(r.query("cmd"));
  }
  return cmds;
}

void LoopbackServer::serve() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    handle(fd);
    close(fd);
  }
}

void LoopbackServer::handle(int fd) {
  std::unique_ptr<SSL, decltype(&SSL_free)> tls(nullptr, &SSL_free);
  if (tls_) {
    // A client that refuses the certificate ends the handshake; one that says nothing is given
    // up on, as a plain request is.
    const timeval patience{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    tls.reset(SSL_new(tls_.get()));
    SSL_set_fd(tls.get(), fd);
    if (SSL_accept(tls.get()) != 1) return;
  }
  std::string raw;
  char buffer[4096];
  while (raw.find("\r\n\r\n") == std::string::npos) {
    ssize_t n;
    if (tls) {
      if (stopping_) return;
      n = SSL_read(tls.get(), buffer, sizeof buffer);
    } else {
      pollfd p{fd, POLLIN, 0};
      if (stopping_ || poll(&p, 1, 5000) <= 0) return;
      n = recv(fd, buffer, sizeof buffer, 0);
    }
    if (n <= 0) return;
    raw.append(buffer, static_cast<size_t>(n));
  }
  RecordedRequest request = parse_request(raw.substr(0, raw.find("\r\n\r\n") + 4));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  ServerConnection connection(fd, stopping_, tls.get());
  handler_(request, connection);
  if (tls) SSL_shutdown(tls.get());
}

ScriptedService::ScriptedService()
    : server_([this](const RecordedRequest& request, ServerConnection& connection) {
        std::string body = "not found";
        int status = 404;
        std::lock_guard<std::mutex> lock(mutex_);
        if (request.path == "/tovimo/hp.php") {
          body = announcement_;
          status = 200;
        } else if (request.path == "/tovimo/io.php") {
          body.clear();  // an unscripted command gets an empty body: no reply
          status = 200;
          for (auto& [cmd, bodies] : replies_) {
            if (cmd != request.query("cmd") || bodies.empty()) continue;
            body = bodies.front();
            if (bodies.size() > 1) bodies.erase(bodies.begin());
          }
        }
        connection.send(http_reply(body, status));
      }) {}

void ScriptedService::reply(const std::string& cmd, std::vector<std::string> bodies) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : replies_) {
    if (entry.first == cmd) {
      entry.second = std::move(bodies);
      return;
    }
  }
  replies_.emplace_back(cmd, std::move(bodies));
}

void ScriptedService::announce(const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  announcement_ = body;
}
