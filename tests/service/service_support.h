// Helpers for the service's tests: a temporary folder, bounded waiting, and the service
// executable as a child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace svctest {

using std::chrono::milliseconds;
constexpr milliseconds kLimit{10000};

// A fresh folder, removed with its contents when the holder goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Polls `condition` until it holds or `limit` has passed; its last answer.
bool wait_until(const std::function<bool()>& condition, milliseconds limit = kLimit);

// A 32-digit client key, distinct per number.
std::string test_key(unsigned n);

// The value of the form field `name` on a page the service wrote (name="NAME" value="..."),
// or none.
std::optional<std::string> field_value(const std::string& page, const std::string& name);

// tovimo-service run with `args`, `env` ("NAME=value") added to the environment and stderr
// appended to `log`. A child still running when the holder goes is killed.
class ServiceProcess {
 public:
  ServiceProcess(const std::vector<std::string>& args, const std::string& log,
                 const std::vector<std::string>& env = {});
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // The first line of stdout; none when output closed or the limit passed first.
  std::optional<std::string> first_line();
  // "http://127.0.0.1:PORT" from the "listening on" line, or none.
  std::optional<std::string> address();
  // Sends `signal` (0: none) and waits for the exit status; none for a death by signal or
  // a child still running after the limit.
  std::optional<int> finish(int signal);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string read_;
};

}  // namespace svctest
