#include "service/http_service.h"

#include <httplib.h>

#include <functional>

#include "service/form_guard.h"
#include "service/order_form.h"
#include "service/pages.h"
#include "service/protocol.h"

namespace svc {

namespace {

constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kHtml[] = "text/html; charset=utf-8";
constexpr std::size_t kMaxRequestBody = 64 * 1024;  // the order form is a few hundred bytes

constexpr int kOk = 200;
constexpr int kBadRequest = 400;
constexpr int kForbidden = 403;
constexpr int kNotFound = 404;
constexpr int kMisdirected = 421;
constexpr int kUnprocessable = 422;
constexpr int kServerError = 500;

constexpr char kNoOpenOrder[] = "No open order for this key";
constexpr char kStorageFailed[] = "The order service cannot reach its order book; try again later";

void reply_text(httplib::Response& res, std::string text, int status = kOk) {
  res.status = status;
  res.set_content(std::move(text), kText);
}

void reply_html(httplib::Response& res, std::string html, int status = kOk) {
  res.status = status;
  res.set_content(std::move(html), kHtml);
}

std::string answer_command(OrderStore& store, const IoRequest& request) {
  switch (request.command) {
    case Command::kLogin:
      return std::string(store.login(request.key) ? kReplyNewbie : kReplyOk);
    case Command::kPoll: {
      store.remember(request.key);
      const std::optional<Order> order = store.open_order(request.key);
      return order ? order_line(*order) : std::string(kReplyOk);
    }
    case Command::kYes:
    case Command::kCancel: {
      const OrderState outcome =
          request.command == Command::kYes ? OrderState::kAccepted : OrderState::kCancelled;
      return store.close_order(request.key, outcome) ? std::string(kReplyOk)
                                                     : error_reply(kNoOpenOrder);
    }
  }
  return error_reply("Unknown command");
}

OrderPageView page_view(OrderStore& store, const std::string& key) {
  OrderPageView view;
  view.key = key;
  view.token = form_token(store.form_secret(), key);
  view.open_order = store.open_order(key);
  if (view.open_order) view.form = form_from_order(*view.open_order);
  return view;
}

std::optional<std::string> header(const httplib::Request& req, const char* name) {
  if (!req.has_header(name)) return std::nullopt;
  return req.get_header_value(name);
}

// Whether the post came from the key's order page on this service and not from another site:
// it carries the key's form token, and whatever page the browser names as its source is ours,
// over the scheme this service speaks.
bool from_order_page(const httplib::Request& req, const std::string& secret, const std::string& key,
                     std::string_view scheme) {
  const auto token = req.params.find(std::string(kTokenField));
  return token != req.params.end() && form_token_matches(secret, key, token->second) &&
         names_own_site(header(req, "Origin"), header(req, "Referer"), scheme,
                        req.get_header_value("Host"));
}

std::unique_ptr<httplib::Server> make_server(const std::optional<TlsFiles>& tls) {
  if (!tls) return std::make_unique<httplib::Server>();
  return std::make_unique<httplib::SSLServer>(tls->certificate.c_str(), tls->key.c_str());
}

}  // namespace

HttpService::HttpService(OrderStore& store, ServiceSettings settings, std::ostream* log)
    : store_(store),
      settings_(std::move(settings)),
      log_(log),
      server_(make_server(settings_.tls)) {
  route();
}

bool HttpService::valid() const {
  return server_->is_valid();
}

HttpService::~HttpService() = default;

void HttpService::route() {
  httplib::Server& server = *server_;
  server.set_payload_max_length(kMaxRequestBody);
  // The library's default adds SO_REUSEPORT, which would let a second service share the port
  // and take half of the requests; a port in use must be an error instead.
  // Replies go out at once rather than waiting on Nagle's algorithm for the client's delayed
  // acknowledgement (accepted connections take the option from the listening socket).
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  });

  // Only requests for a host this service is: a page on a name that merely resolves here (DNS
  // rebinding) would otherwise count as the order page's own site.
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (serves_host(served_hosts_, req.get_header_value("Host"))) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    reply_text(res, "Misdirected request: this service does not serve that host.\n", kMisdirected);
    return httplib::Server::HandlerResponse::Handled;
  });

  server.Get("/tovimo/io.php", [this](const httplib::Request& req, httplib::Response& res) {
    auto request = parse_io_query(req.params);
    if (const auto* error = std::get_if<QueryError>(&request)) {
      reply_text(res, error_reply(error->message));
      return;
    }
    try {
      reply_text(res, answer_command(store_, std::get<IoRequest>(request)));
    } catch (const StoreError& e) {
      log_request(std::string("storage: ") + e.what());
      reply_text(res, error_reply(kStorageFailed), kServerError);
    }
  });

  server.Get("/tovimo/hp.php", [this](const httplib::Request& req, httplib::Response& res) {
    auto key = parse_hp_query(req.params);
    if (const auto* error = std::get_if<QueryError>(&key)) {
      reply_text(res, error_reply(error->message));
    } else if (settings_.announcement) {
      reply_text(res, *settings_.announcement);
    } else {
      reply_text(res, std::string(kReplySkip));
    }
  });

  server.Get("/tovimo/index.php", [this](const httplib::Request& req, httplib::Response& res) {
    auto key = parse_page_query(req.params);
    if (const auto* error = std::get_if<QueryError>(&key)) {
      reply_html(res, refusal_page(error->message + "."), kBadRequest);
      return;
    }
    const auto& wanted = std::get<std::optional<std::string>>(key);
    if (!wanted) {
      reply_html(res, home_page());
      return;
    }
    try {
      reply_html(res, order_page(page_view(store_, *wanted)));
    } catch (const StoreError& e) {
      log_request(std::string("storage: ") + e.what());
      reply_html(res, refusal_page(std::string(kStorageFailed) + "."), kServerError);
    }
  });

  // The order form posts here; the key and its form token travel in hidden fields.
  server.Post("/tovimo/index.php", [this](const httplib::Request& req, httplib::Response& res) {
    auto key = parse_page_query(req.params);
    if (const auto* error = std::get_if<QueryError>(&key)) {
      reply_html(res, refusal_page(error->message + "."), kBadRequest);
      return;
    }
    const auto& wanted = std::get<std::optional<std::string>>(key);
    if (!wanted) {
      reply_html(res, refusal_page("The order form arrived without a client key."), kBadRequest);
      return;
    }
    if (!from_order_page(req, store_.form_secret(), *wanted, tls() ? "https" : "http")) {
      reply_html(res, foreign_form_page(*wanted), kForbidden);
      return;
    }
    const OrderForm form = read_order_form(req.params);
    FormCheck check = check_order_form(form);
    try {
      if (check.order) store_.place_order(*wanted, *check.order);
      OrderPageView view = page_view(store_, *wanted);
      if (check.order) {
        view.placed = true;
      } else {
        view.form = form;  // show what was typed, so that it can be corrected
        view.problems = std::move(check.problems);
      }
      reply_html(res, order_page(view), check.order ? kOk : kUnprocessable);
    } catch (const StoreError& e) {
      log_request(std::string("storage: ") + e.what());
      reply_html(res, refusal_page(std::string(kStorageFailed) + "."), kServerError);
    }
  });

  server.Get("/tovimo/tutorial.php", [](const httplib::Request&, httplib::Response& res) {
    reply_html(res, tutorial_page());
  });

  // Statuses that no handler gave a body, 404 above all, still get a short text.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        reply_text(res, res.status == kNotFound ? "Not found\n" : "Request refused\n", res.status);
        return httplib::Server::HandlerResponse::Handled;
      }));

  server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    log_request(req.method + ' ' + req.target + ' ' + std::to_string(res.status) + ' ' +
                std::to_string(res.body.size()));
  });
}

void HttpService::log_request(const std::string& line) {
  if (!log_) return;
  std::lock_guard<std::mutex> lock(log_mutex_);
  *log_ << line << std::endl;
}

std::optional<int> HttpService::bind(const std::string& host, int port) {
  if (port == 0) {
    port = server_->bind_to_any_port(host);
    if (port <= 0) return std::nullopt;
  } else if (!server_->bind_to_port(host, port)) {
    return std::nullopt;
  }
  served_hosts_ = served_hosts(host, port, tls(), settings_.public_hosts);
  return port;
}

bool HttpService::run() {
  if (stop_requested_) return true;
  return server_->listen_after_bind();
}

void HttpService::stop() {
  stop_requested_ = true;
  server_->stop();
}

bool HttpService::is_running() const {
  return server_->is_running();
}

}  // namespace svc
