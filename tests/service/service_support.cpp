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

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(10);
constexpr char kListening[] = "listening on ";

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

// The current environment with `extra` ("NAME=value") replacing entries of the same name.
std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& x : extra) replaced = replaced || x.rfind(name, 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& t : texts) result.push_back(t.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/tovimo-svc-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}

std::string test_key(unsigned n) {
  char key[33];
  std::snprintf(key, sizeof key, "%032x", n);
  return key;
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& args,
                               const std::vector<std::string>& env,
                               const std::string& stderr_file) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  out_fd_ = fds[0];
  SpawnActions spawn;
  posix_spawn_file_actions_adddup2(&spawn.actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO,
                                   stderr_file.empty() ? "/dev/null" : stderr_file.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<std::string> argv_texts{TOVIMO_SERVICE_EXE};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts = environment_with(env);
  std::vector<char*> argv = pointers(argv_texts);
  std::vector<char*> envp = pointers(env_texts);
  const int rc =
      posix_spawn(&pid_, TOVIMO_SERVICE_EXE, &spawn.actions, nullptr, argv.data(), envp.data());
  close(fds[1]);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " TOVIMO_SERVICE_EXE);
  }
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
}

std::optional<std::string> ServiceProcess::first_line(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (pending_.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(out_fd_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
  return pending_.substr(0, pending_.find('\n'));
}

std::optional<std::string> ServiceProcess::base_url() {
  const std::optional<std::string> line = first_line();
  if (!line || line->rfind(kListening, 0) != 0) return std::nullopt;
  return line->substr(sizeof kListening - 1);
}

std::optional<int> ServiceProcess::stop(int signal, std::chrono::milliseconds limit) {
  if (pid_ > 0) kill(pid_, signal);
  return wait_exit(limit);
}

std::optional<int> ServiceProcess::wait_exit(std::chrono::milliseconds limit) {
  int status = 0;
  const bool exited = wait_until(
      [&] { return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
  if (!exited) return std::nullopt;
  pid_ = -1;
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

}  // namespace svctest
