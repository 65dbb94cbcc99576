#include "service_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace svctest {

TempDir::TempDir() {
  path_ = std::filesystem::temp_directory_path().string() + "/tovimo-svc-XXXXXX";
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool wait_until(const std::function<bool()>& condition, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

std::string test_key(unsigned n) {
  char key[33];
  std::snprintf(key, sizeof key, "%032x", n);
  return key;
}

std::optional<std::string> field_value(const std::string& page, const std::string& name) {
  const std::string marker = "name=\"" + name + "\" value=\"";
  const std::size_t start = page.find(marker);
  if (start == std::string::npos) return std::nullopt;
  const std::size_t end = page.find('"', start + marker.size());
  if (end == std::string::npos) return std::nullopt;
  return page.substr(start + marker.size(), end - start - marker.size());
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& args, const std::string& log,
                               const std::vector<std::string>& env) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  out_ = fds[0];
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<std::string> texts{TOVIMO_SERVICE_EXE};
  texts.insert(texts.end(), args.begin(), args.end());
  const std::size_t env_at = texts.size();
  texts.insert(texts.end(), env.begin(), env.end());
  std::vector<char*> argv, envp;
  for (std::size_t i = 0; i < env_at; ++i) argv.push_back(texts[i].data());
  argv.push_back(nullptr);
  // The added entries go first: getenv takes the first of a name.
  for (std::size_t i = env_at; i < texts.size(); ++i) envp.push_back(texts[i].data());
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  envp.push_back(nullptr);
  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) throw std::runtime_error("cannot start " TOVIMO_SERVICE_EXE);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  close(out_);
}

std::optional<std::string> ServiceProcess::first_line() {
  bool closed = false;
  wait_until([&] {
    pollfd p{out_, POLLIN, 0};
    char buffer[256];
    const ssize_t n = poll(&p, 1, 0) > 0 ? read(out_, buffer, sizeof buffer) : -1;
    if (n > 0) read_.append(buffer, static_cast<std::size_t>(n));
    closed = n == 0;
    return closed || read_.find('\n') != std::string::npos;
  });
  const std::size_t end = read_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  return read_.substr(0, end);
}

std::optional<std::string> ServiceProcess::address() {
  const std::string prefix = "listening on ";
  const std::optional<std::string> line = first_line();
  if (!line || line->rfind(prefix, 0) != 0 || line->back() != '/') return std::nullopt;
  return line->substr(prefix.size(), line->size() - prefix.size() - 1);
}

std::optional<int> ServiceProcess::finish(int signal) {
  if (signal != 0) kill(pid_, signal);
  int status = 0;
  if (!wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) return std::nullopt;
  pid_ = -1;
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

}  // namespace svctest
