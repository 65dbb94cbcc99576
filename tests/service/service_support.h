// Helpers for the service's tests: a temporary folder, bounded waiting, and the service
// executable run as a child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace svctest {

// A fresh folder, removed with everything in it when the holder goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Polls `condition` until it holds or `limit` has passed; its last answer.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// A 32-digit client key made from a small number, distinct per number.
std::string test_key(unsigned n);

// The service executable, started with `args` and `env` added to the environment; stdout is
// read up to its first line, stderr goes to `stderr_file` when given, else to /dev/null.
class ServiceProcess {
 public:
  ServiceProcess(const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {},
                 const std::string& stderr_file = {});
  ~ServiceProcess();  // ends a child still running with SIGKILL
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // The first line of standard output, without its line end; none when the child closed
  // its output or the limit passed first.
  std::optional<std::string> first_line(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // "http://127.0.0.1:PORT/" from the "listening on" line, or none.
  std::optional<std::string> base_url();
  // Sends `signal` and waits for the exit; the exit status, or none for a death by signal or
  // a child still running after `limit`.
  std::optional<int> stop(int signal, std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Waits for an exit that the child makes by itself.
  std::optional<int> wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string pending_;
};

}  // namespace svctest
