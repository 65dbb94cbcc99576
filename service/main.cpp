// tovimo-service: the reference order service that the tray program talks to.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>

#include "service/http_service.h"
#include "service/options.h"
#include "service/order_store.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr auto kStopRetry = std::chrono::milliseconds(50);

// Waits for SIGINT or SIGTERM, which every thread keeps blocked, and stops the service. The
// signal is taken synchronously so that stopping may lock and call into the server.
class StopOnSignal {
 public:
  StopOnSignal(svc::HttpService& service, const sigset_t& signals)
      : service_(service), signals_(signals), thread_([this] { wait(); }) {}

  // Called once run() has returned: ends the waiting thread whether or not a signal came.
  ~StopOnSignal() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    finished_changed_.notify_all();
    pthread_kill(thread_.native_handle(), SIGTERM);  // wakes sigwait if no signal came
    thread_.join();
  }

 private:
  void wait() {
    int signal = 0;
    sigwait(&signals_, &signal);
    std::unique_lock<std::mutex> lock(mutex_);
    // A stop that lands just before the server starts listening is lost; repeat it.
    while (!finished_) {
      service_.stop();
      finished_changed_.wait_for(lock, kStopRetry);
    }
  }

  svc::HttpService& service_;
  sigset_t signals_;
  std::mutex mutex_;
  std::condition_variable finished_changed_;
  bool finished_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string program =
      argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "tovimo-service";
  auto parsed = svc::parse_options(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  if (const auto* error = std::get_if<svc::OptionError>(&parsed)) {
    std::cerr << program << ": " << error->message << "\nTry '" << program
              << " --help' for more information.\n";
    return kExitUsage;
  }
  const svc::ServiceOptions& options = std::get<svc::ServiceOptions>(parsed);
  if (options.help) {
    std::cout << svc::usage_text(program);
    return EXIT_SUCCESS;
  }

  std::optional<std::string> db_path = options.db_path;
  if (!db_path) db_path = svc::default_db_path(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
  if (!db_path) {
    std::cerr << program << ": no HOME or XDG_DATA_HOME to keep orders in; give --db PATH\n";
    return kExitFailure;
  }
  const std::filesystem::path folder = std::filesystem::path(*db_path).parent_path();
  std::error_code failed;
  if (!folder.empty()) std::filesystem::create_directories(folder, failed);
  if (failed) {
    std::cerr << program << ": cannot create " << folder.string() << ": " << failed.message()
              << "\n";
    return kExitFailure;
  }

  std::optional<svc::OrderStore> store;
  try {
    store.emplace(*db_path);
  } catch (const svc::StoreError& e) {
    std::cerr << program << ": " << e.what() << "\n";
    return kExitFailure;
  }

  // Blocked before the server starts its threads, which inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the service

  std::optional<svc::TlsFiles> tls;
  if (options.tls_certificate) tls = svc::TlsFiles{*options.tls_certificate, *options.tls_key};
  svc::HttpService service(
      *store, svc::ServiceSettings{options.announcement, options.public_hosts, tls}, &std::cerr);
  if (!service.valid()) {
    std::cerr << program << ": cannot serve https with " << *options.tls_certificate << " and "
              << *options.tls_key << "\n";
    return kExitFailure;
  }
  const std::optional<int> port = service.bind(options.host, options.port);
  if (!port) {
    std::cerr << program << ": cannot listen on "
              << svc::listen_url(options.host, options.port, service.tls()) << "\n";
    return kExitFailure;
  }
  std::cout << "listening on " << svc::listen_url(options.host, *port, service.tls()) << std::endl;
  std::cerr << program << ": orders in " << *db_path << "\n";

  bool served;
  {
    StopOnSignal stopper(service, signals);
    served = service.run();
  }
  std::cerr << program << ": stopped\n";
  return served ? EXIT_SUCCESS : kExitFailure;
}
