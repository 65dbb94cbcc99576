// Starting the converter on Linux. The converter writes its output into an unlinked temporary
// file rather than a pipe, so it never blocks on us and outlives the program; while it runs, the
// file is read a few times a second and what is new goes to the converter's listener. The
// converter leads a session and process group of its own, so stopping it reaches whatever it
// started too.
#define G_LOG_DOMAIN "tovimo"

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/holders.h"
#include "platform/platform.h"

namespace platform {
namespace {

constexpr guint kRefreshMilliseconds = 250;
// How long a converter asked to stop may take to end before it is ended for good.
constexpr guint kKillSeconds = 3;

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct ConverterRun;

// The converters running now, so that a listener's converter can be found to stop it.
std::vector<ConverterRun*>& running() {
  static std::vector<ConverterRun*> runs;
  return runs;
}

// One running converter: lives from its start until its end has been heard.
struct ConverterRun {
  GPid pid = 0;  // also its process group's id
  UniqueFd output;
  std::shared_ptr<ConverterListener> listener;
  guint refresh_id = 0;
  bool stopping = false;            // asked to stop
  guint kill_id = 0;                // after a stop request, until the group is ended for good
  std::optional<gint> exit_status;  // the converter's, while the rest of its group still runs

  ConverterRun() { running().push_back(this); }
  ConverterRun(const ConverterRun&) = delete;
  ConverterRun& operator=(const ConverterRun&) = delete;
  ~ConverterRun() {
    auto& runs = running();
    runs.erase(std::remove(runs.begin(), runs.end(), this), runs.end());
    if (refresh_id) g_source_remove(refresh_id);
    if (kill_id) g_source_remove(kill_id);
    g_spawn_close_pid(pid);
  }
};

void read_output(ConverterRun* run) {
  std::string more;
  char block[16 * 1024];
  ssize_t n;
  while ((n = read(run->output.get(), block, sizeof block)) > 0) {
    more.append(block, static_cast<std::size_t>(n));
  }
  if (!more.empty() && run->listener) run->listener->converter_output(more);
}

gboolean on_refresh_timeout(gpointer data) {
  read_output(static_cast<ConverterRun*>(data));
  return G_SOURCE_CONTINUE;
}

std::string describe_end(gint wait_status) {
  if (WIFEXITED(wait_status)) {
    const int code = WEXITSTATUS(wait_status);
    return code == 0 ? std::string() : "exit status " + std::to_string(code);
  }
  if (WIFSIGNALED(wait_status)) return "signal " + std::to_string(WTERMSIG(wait_status));
  return "an abnormal end";
}

// Reads the last output, tells the listener how the converter ended, and lets the run go.
void finish(ConverterRun* ended) {
  std::unique_ptr<ConverterRun> run(ended);
  if (run->refresh_id) g_source_remove(run->refresh_id);
  run->refresh_id = 0;
  read_output(run.get());
  const std::string failure = describe_end(run->exit_status.value_or(0));
  if (!failure.empty()) g_debug("the converter ended with %s", failure.c_str());
  const auto listener = std::move(run->listener);
  run.reset();
  if (listener) listener->converter_ended(failure);
}

bool group_alive(GPid group) {
  return kill(-group, 0) == 0;
}

void on_child_exit(GPid, gint wait_status, gpointer data) {
  auto* run = static_cast<ConverterRun*>(data);
  run->exit_status = wait_status;
  // A converter asked to stop is heard to end once what it started has gone too.
  if (run->kill_id && group_alive(run->pid)) return;
  finish(run);
}

// Ends the group of a converter asked to stop for good; its end is heard then.
void end_for_good(ConverterRun* run) {
  run->kill_id = 0;
  if (kill(-run->pid, SIGKILL) == 0) g_debug("the converter's process group was killed");
  if (run->exit_status) finish(run);  // else its child watch follows at once
}

gboolean on_kill_timeout(gpointer data) {
  end_for_good(static_cast<ConverterRun*>(data));
  return G_SOURCE_REMOVE;
}

bool any_stopping() {
  const auto& runs = running();
  return std::any_of(runs.begin(), runs.end(), [](const ConverterRun* r) { return r->stopping; });
}

// In the child, before exec: its own session, so that neither a closing terminal nor the
// program's end takes the converter with it.
void detach_child(gpointer) {
  setsid();
}

void set_error(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
}

}  // namespace

bool converter_followed() {
  return true;
}

bool stop_converter(const ConverterListener& listener) {
  for (ConverterRun* run : running()) {
    if (run->listener.get() != &listener) continue;
    if (run->kill_id) return true;  // already stopping
    if (run->exit_status) return false;
    if (kill(-run->pid, SIGTERM) != 0) return false;
    run->stopping = true;
    run->kill_id = g_timeout_add_seconds(kKillSeconds, on_kill_timeout, run);
    return true;
  }
  return false;
}

void finish_stopping(unsigned wait_ms) {
  const std::vector<ConverterRun*> runs = running();  // ending one changes the list
  for (ConverterRun* run : runs) {
    if (!run->kill_id) continue;
    g_source_remove(run->kill_id);
    end_for_good(run);
  }
  const gint64 deadline = g_get_monotonic_time() + gint64(wait_ms) * 1000;
  while (any_stopping() && g_get_monotonic_time() < deadline) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
  }
}

bool start_converter(const std::vector<std::string>& argv,
                     std::shared_ptr<ConverterListener> listener, std::string* error) {
  if (argv.empty()) {
    set_error(error, "it was given no command");
    return false;
  }
  GStr program(g_find_program_in_path(argv[0].c_str()));
  if (!program) {
    set_error(error, "\"" + argv[0] + "\" was not found on PATH");
    return false;
  }
  std::vector<gchar*> raw_argv;
  for (const std::string& arg : argv) raw_argv.push_back(const_cast<gchar*>(arg.c_str()));
  raw_argv.push_back(nullptr);

  GErr err;
  gchar* raw_path = nullptr;
  UniqueFd output_writer(g_file_open_tmp("tovimo-converter-XXXXXX.log", &raw_path, out(err)));
  GStr path(raw_path);
  if (output_writer.get() < 0) {
    set_error(error, std::string("no file for its output: ") + err->message);
    return false;
  }
  auto run = std::make_unique<ConverterRun>();
  run->output = UniqueFd(open(path.get(), O_RDONLY | O_CLOEXEC));
  unlink(path.get());
  UniqueFd no_input(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (run->output.get() < 0 || no_input.get() < 0) {
    set_error(error, "no file for its output");
    return false;
  }
  if (!g_spawn_async_with_fds(
          nullptr, raw_argv.data(), nullptr,
          static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), detach_child,
          nullptr, &run->pid, no_input.get(), output_writer.get(), output_writer.get(), out(err))) {
    set_error(error, err->message);
    return false;
  }
  run->listener = std::move(listener);
  run->refresh_id = g_timeout_add(kRefreshMilliseconds, on_refresh_timeout, run.get());
  const GPid pid = run->pid;
  g_child_watch_add(pid, on_child_exit, run.release());
  return true;
}

}  // namespace platform
