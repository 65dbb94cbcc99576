// Starting and following the converter on Windows. Its arguments are handed over as a Windows
// command line. It runs without a console window (CREATE_NO_WINDOW), in a process group and a
// job object of its own, and writes its output into a temporary file that is deleted once the
// last handle to it closes. While it runs the file is read a few times a second and what is new
// goes to the converter's listener; its end is heard once its job is empty. The job does not end
// with the program, so the converter outlives it.
#define G_LOG_DOMAIN "tovimo"

#include <windows.h>

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "base/holders.h"
#include "platform/command_line_windows.h"
#include "platform/platform.h"
#include "platform/windows_internal.h"

namespace platform {
namespace {

// CreateProcessW's bound on the command line, its final NUL included.
constexpr std::size_t kCommandLineLimit = 32767;
constexpr guint kRefreshMilliseconds = 250;
// How long a converter asked to stop may take to end before its job is ended for good.
constexpr guint kKillSeconds = 3;
// The exit code of what is ended for good.
constexpr UINT kKilledExitCode = 1;

struct HandleClose {
  void operator()(HANDLE h) const noexcept {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using Handle = std::unique_ptr<void, HandleClose>;

struct AttributeListDelete {
  void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const noexcept {
    DeleteProcThreadAttributeList(list);
  }
};
using AttributeList = std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, AttributeListDelete>;

void set_error(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
}

std::string last_error() {
  return *take_text(g_win32_error_message(static_cast<gint>(GetLastError())));
}

bool is_program_file(const std::string& path) {
  return g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR);
}

struct ConverterRun;

// The converters running now, so that a listener's converter can be found to stop it.
std::vector<ConverterRun*>& running() {
  static std::vector<ConverterRun*> runs;
  return runs;
}

// One running converter: lives from its start until its end has been heard.
struct ConverterRun {
  Handle process;
  Handle job;  // none where Windows refused to put the converter in one of its own
  Handle output;
  DWORD process_id = 0;  // also its process group's id
  std::shared_ptr<ConverterListener> listener;
  guint refresh_id = 0;
  guint kill_id = 0;  // after a stop request, until the job is ended for good
  bool stopping = false;

  ConverterRun() { running().push_back(this); }
  ConverterRun(const ConverterRun&) = delete;
  ConverterRun& operator=(const ConverterRun&) = delete;
  ~ConverterRun() {
    auto& runs = running();
    runs.erase(std::remove(runs.begin(), runs.end(), this), runs.end());
    if (refresh_id) g_source_remove(refresh_id);
    if (kill_id) g_source_remove(kill_id);
  }

  // Whether the converter and everything it started have ended.
  bool ended() const {
    if (job) {
      JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
      if (QueryInformationJobObject(job.get(), JobObjectBasicAccountingInformation, &info,
                                    sizeof info, nullptr)) {
        return info.ActiveProcesses == 0;
      }
    }
    return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
  }

  void end_for_good() {
    if (job) {
      TerminateJobObject(job.get(), kKilledExitCode);
    } else {
      TerminateProcess(process.get(), kKilledExitCode);
    }
    g_debug("the converter's job was ended");
  }
};

void read_output(ConverterRun* run) {
  std::string more;
  char block[16 * 1024];
  DWORD n = 0;
  while (ReadFile(run->output.get(), block, sizeof block, &n, nullptr) && n > 0) {
    more.append(block, n);
  }
  if (!more.empty() && run->listener) run->listener->converter_output(more);
}

std::string describe_end(HANDLE process) {
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return "an end that Windows does not tell";
  if (code == 0) return std::string();
  // Status codes such as an access violation read as the hexadecimal numbers they are known by.
  return code >= 0xC0000000u ? *take_text(g_strdup_printf("exit status 0x%08lX", code))
                             : "exit status " + std::to_string(code);
}

// Reads the last output, tells the listener how the converter ended, and lets the run go.
void finish(ConverterRun* ended) {
  std::unique_ptr<ConverterRun> run(ended);
  read_output(run.get());
  const std::string failure = describe_end(run->process.get());
  if (!failure.empty()) g_debug("the converter ended with %s", failure.c_str());
  const auto listener = std::move(run->listener);
  run.reset();
  if (listener) listener->converter_ended(failure);
}

gboolean on_refresh_timeout(gpointer data) {
  auto* run = static_cast<ConverterRun*>(data);
  read_output(run);
  if (!run->ended()) return G_SOURCE_CONTINUE;
  run->refresh_id = 0;
  finish(run);
  return G_SOURCE_REMOVE;
}

gboolean on_kill_timeout(gpointer data) {
  auto* run = static_cast<ConverterRun*>(data);
  run->kill_id = 0;
  run->end_for_good();  // its end is heard at the next refresh
  return G_SOURCE_REMOVE;
}

BOOL WINAPI ignore_console_events(DWORD) {
  return TRUE;
}

// Asks the converter to end as Ctrl+Break in its console does: it then finishes the file it
// writes and exits. The program has no console of its own; it joins the converter's for the
// moment, ignoring the event itself, which goes to the converter's process group alone.
bool ask_to_end(DWORD process_group) {
  if (!AttachConsole(process_group)) {
    g_debug("no console of the converter to join: %s", last_error().c_str());
    return false;
  }
  SetConsoleCtrlHandler(ignore_console_events, TRUE);
  const bool sent = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_group);
  if (!sent) g_debug("Ctrl+Break not sent to the converter: %s", last_error().c_str());
  FreeConsole();
  SetConsoleCtrlHandler(ignore_console_events, FALSE);
  return sent;
}

bool any_stopping() {
  const auto& runs = running();
  return std::any_of(runs.begin(), runs.end(), [](const ConverterRun* r) { return r->stopping; });
}

// A file in the temporary folder that the converter writes its output to (through an inherited
// handle) and the program reads, deleted once the last handle to it closes.
bool open_output_file(Handle& writer, Handle& reader, std::string* error) {
  static std::atomic<unsigned> count{0};
  GStr name(g_strdup_printf("tovimo-converter-%lu-%u.log", GetCurrentProcessId(), ++count));
  GStr path(g_build_filename(g_get_tmp_dir(), name.get(), nullptr));
  const auto wide_path = utf16(path.get());
  if (!wide_path) {
    set_error(error, "no file for its output: the temporary folder's name is not valid UTF-8");
    return false;
  }
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  writer.reset(CreateFileW(wide_path->c_str(), GENERIC_WRITE, kShareAll, &inherited, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (writer.get() != INVALID_HANDLE_VALUE) {
    reader.reset(CreateFileW(wide_path->c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_TEMPORARY, nullptr));
  }
  if (writer.get() == INVALID_HANDLE_VALUE || reader.get() == INVALID_HANDLE_VALUE) {
    set_error(error, "no file for its output: " + last_error());
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> find_program(const std::string& name) {
  if (is_program_file(name)) return *take_text(g_canonicalize_filename(name.c_str(), nullptr));
  if (name.find_first_of("\\/:") != std::string::npos) return std::nullopt;
  const char* path = g_getenv("PATH");
  StrVec folders(g_strsplit(path ? path : "", G_SEARCHPATH_SEPARATOR_S, -1));
  for (gchar** f = folders.get(); *f; ++f) {
    std::string folder = *f;
    if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') {
      folder = folder.substr(1, folder.size() - 2);
    }
    if (folder.empty()) continue;
    GStr candidate(g_build_filename(folder.c_str(), name.c_str(), nullptr));
    if (is_program_file(candidate.get())) {
      return *take_text(g_canonicalize_filename(candidate.get(), nullptr));
    }
  }
  return std::nullopt;
}

bool converter_followed() {
  return true;
}

bool start_converter(const std::vector<std::string>& argv,
                     std::shared_ptr<ConverterListener> listener, std::string* error) {
  if (argv.empty()) {
    set_error(error, "it was given no command");
    return false;
  }
  const std::string joined = join_windows_command_line(argv);
  const auto line = utf16(joined);
  if (!line || !g_utf8_validate(joined.c_str(), -1, nullptr)) {
    set_error(error, "its command line is not valid UTF-8");
    return false;
  }
  if (line->size() >= kCommandLineLimit) {
    set_error(error, "its command line is longer than Windows allows");
    return false;
  }
  const auto program = find_program(argv.front());
  const auto program_wide = program ? utf16(*program) : std::nullopt;
  if (!program_wide) {
    set_error(error,
              "\"" + argv.front() + "\" was found neither in the working folder nor on PATH");
    return false;
  }

  auto run = std::make_unique<ConverterRun>();
  Handle writer;
  if (!open_output_file(writer, run->output, error)) return false;
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  Handle no_input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                              OPEN_EXISTING, 0, nullptr));
  if (no_input.get() == INVALID_HANDLE_VALUE) {
    set_error(error, "no input for it: " + last_error());
    return false;
  }

  // The converter inherits its standard handles and nothing else: every other inheritable handle
  // open now (sockets are, by default) would otherwise pass to a process that outlives the
  // program. Each handle is listed once, as Windows wants.
  HANDLE standard[] = {no_input.get(), writer.get()};
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_storage(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
    set_error(error, "no list of the handles it inherits: " + last_error());
    return false;
  }
  AttributeList attributes(list);
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, standard,
                                 sizeof standard, nullptr, nullptr)) {
    set_error(error, "no list of the handles it inherits: " + last_error());
    return false;
  }

  std::vector<wchar_t> writable_line(line->begin(), line->end());  // CreateProcessW may write
  writable_line.push_back(L'\0');
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = no_input.get();
  startup.StartupInfo.hStdOutput = writer.get();
  startup.StartupInfo.hStdError = writer.get();
  startup.lpAttributeList = list;
  PROCESS_INFORMATION process{};
  // Suspended until it is in its job, so that nothing it starts escapes the job.
  if (!CreateProcessW(program_wide->c_str(), writable_line.data(), nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED |
                          EXTENDED_STARTUPINFO_PRESENT,
                      nullptr, nullptr, &startup.StartupInfo, &process)) {
    set_error(error, "\"" + *program + "\": " + last_error());
    return false;
  }
  Handle thread(process.hThread);
  run->process.reset(process.hProcess);
  run->process_id = process.dwProcessId;
  // Without kill-on-close: the converter goes on when the program ends.
  run->job.reset(CreateJobObjectW(nullptr, nullptr));
  if (run->job && !AssignProcessToJobObject(run->job.get(), run->process.get())) {
    g_debug("the converter runs without a job of its own: %s", last_error().c_str());
    run->job.reset();
  }
  ResumeThread(thread.get());
  run->listener = std::move(listener);
  run->refresh_id = g_timeout_add(kRefreshMilliseconds, on_refresh_timeout, run.get());
  run.release();
  return true;
}

bool stop_converter(const ConverterListener& listener) {
  for (ConverterRun* run : running()) {
    if (run->listener.get() != &listener) continue;
    if (run->stopping) return true;
    if (run->ended()) return false;
    if (!ask_to_end(run->process_id)) g_debug("the converter could not be asked to end");
    run->stopping = true;
    run->kill_id = g_timeout_add_seconds(kKillSeconds, on_kill_timeout, run);
    return true;
  }
  return false;
}

void finish_stopping(unsigned wait_ms) {
  for (ConverterRun* run : running()) {
    if (!run->kill_id) continue;
    g_source_remove(run->kill_id);
    run->kill_id = 0;
    run->end_for_good();
  }
  const gint64 deadline = g_get_monotonic_time() + gint64(wait_ms) * 1000;
  while (any_stopping() && g_get_monotonic_time() < deadline) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
  }
}

}  // namespace platform
