// One program per user session on Windows, the file arguments and the data folder.
// The session's program holds a named mutex in the session's own namespace and a message-only
// window, titled only once the mutex is its own, so that a later start finds exactly that
// window and hands it the file's UTF-8 path in a WM_COPYDATA message.
#define G_LOG_DOMAIN "tovimo"

#include <windows.h>

#include <glib.h>
#include <glib/gstdio.h>

#include <deque>
#include <memory>
#include <type_traits>
#include <utility>

#include "base/holders.h"
#include "platform/platform.h"

namespace platform {
namespace {

constexpr wchar_t kMutexName[] = L"Local\\Tovimo-instance";
constexpr wchar_t kWindowClass[] = L"TovimoInstance";
constexpr wchar_t kWindowTitle[] = L"Tovimo instance";
// Marks our WM_COPYDATA messages: "TvmF", a file to open.
constexpr ULONG_PTR kFileTag = 0x54766d46;
// A path the system can name: 32767 UTF-16 units, at most three UTF-8 bytes each.
constexpr DWORD kLongestPath = 32767 * 3;
// How long a later start looks for the first one's window, which the first titles right after
// it has made the mutex, and waits for it to take the file.
constexpr gint64 kFindMicroseconds = 5 * G_USEC_PER_SEC;
constexpr gulong kFindPauseMicroseconds = 50 * 1000;
constexpr UINT kSendMilliseconds = 5000;

struct HandleClose {
  void operator()(HANDLE h) const noexcept {
    if (h) CloseHandle(h);
  }
};
using Handle = std::unique_ptr<void, HandleClose>;

struct WindowDestroy {
  void operator()(HWND w) const noexcept { DestroyWindow(w); }
};
using Window = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroy>;

// The session's program: its mutex and window, and the files handed over that its main loop
// has not yet passed on. The window goes before the mutex, so that a start that finds the mutex
// without the window tries the mutex again.
struct Instance {
  Handle mutex;
  Window window;
  std::function<void(const std::string&)> on_file;
  std::deque<std::string> pending;
  guint idle = 0;

  ~Instance() {
    if (idle) g_source_remove(idle);
  }
};
std::unique_ptr<Instance> g_instance;

// One file per turn of the main loop; after `on_file` nothing of the instance is touched, since
// it may have released it.
gboolean on_pending_file(gpointer data) {
  auto* instance = static_cast<Instance*>(data);
  const std::string file = std::move(instance->pending.front());
  instance->pending.pop_front();
  const bool more = !instance->pending.empty();
  if (!more) instance->idle = 0;
  const auto on_file = instance->on_file;
  if (on_file) on_file(file);
  return more ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

// A path as a later start sends it: our tag, UTF-8 without NUL, of a length a path can have.
std::optional<std::string> received_path(const COPYDATASTRUCT& data) {
  if (data.dwData != kFileTag || data.cbData == 0 || data.cbData > kLongestPath || !data.lpData)
    return std::nullopt;
  std::string path(static_cast<const char*>(data.lpData), data.cbData);
  if (path.find('\0') != std::string::npos ||
      !g_utf8_validate(path.data(), static_cast<gssize>(path.size()), nullptr))
    return std::nullopt;
  return path;
}

// The path is only copied here; the program hears of it from its main loop.
LRESULT CALLBACK instance_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* instance = reinterpret_cast<Instance*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_COPYDATA) {
    const auto path =
        instance ? received_path(*reinterpret_cast<COPYDATASTRUCT*>(lparam)) : std::nullopt;
    if (!path) return FALSE;
    instance->pending.push_back(*path);
    if (!instance->idle) instance->idle = g_idle_add(on_pending_file, instance);
    return TRUE;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

Window make_window() {
  static const bool registered = [] {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = instance_window_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kWindowClass;
    return RegisterClassW(&window_class) != 0;
  }();
  if (!registered) return nullptr;
  return Window(CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr));
}

// Whether the window took `file`, none when it did not answer in time. It refuses only a path
// that no start would send.
std::optional<bool> send_file(HWND window, const std::string& file) {
  COPYDATASTRUCT data{};
  data.dwData = kFileTag;
  data.cbData = static_cast<DWORD>(file.size());
  data.lpData = const_cast<char*>(file.data());
  DWORD_PTR taken = FALSE;
  if (!SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                           SMTO_ABORTIFHUNG, kSendMilliseconds, &taken))
    return std::nullopt;
  return taken == TRUE;
}

std::string from_utf16(const std::wstring& text) {
  GStr converted(g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(text.data()),
                                 static_cast<glong>(text.size()), nullptr, nullptr, nullptr));
  return converted ? converted.get() : "";
}

}  // namespace

std::vector<std::string> file_arguments(int argc, char** argv) {
  std::vector<std::string> files;
  // The wide command line holds the names as typed; argv only what the ANSI code page can say.
  // It is used when the toolkit has taken none of its options out of argv.
  StrVec wide(g_win32_get_command_line());
  if (wide && g_strv_length(wide.get()) == static_cast<guint>(argc)) {
    for (int i = 1; i < argc; ++i) files.emplace_back(wide.get()[i]);
    return files;
  }
  for (int i = 1; i < argc; ++i) {
    GStr converted(g_locale_to_utf8(argv[i], -1, nullptr, nullptr, nullptr));
    if (converted) files.emplace_back(converted.get());
  }
  return files;
}

InstanceRole claim_instance(const std::optional<std::string>& file,
                            std::function<void(const std::string& file)> on_file) {
  // The window exists before the mutex, so that it can be titled as soon as the mutex is ours;
  // untitled, no other start finds it.
  Window own = make_window();
  if (!own) return InstanceRole::kAlone;
  const gint64 deadline = g_get_monotonic_time() + kFindMicroseconds;
  do {
    SetLastError(ERROR_SUCCESS);
    Handle mutex(CreateMutexW(nullptr, FALSE, kMutexName));
    if (!mutex) return InstanceRole::kAlone;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      auto instance = std::make_unique<Instance>();
      instance->mutex = std::move(mutex);
      instance->window = std::move(own);
      instance->on_file = std::move(on_file);
      HWND window = instance->window.get();
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(instance.get()));
      // A start of lower integrity (ours elevated) may still hand its file over.
      ChangeWindowMessageFilterEx(window, WM_COPYDATA, MSGFLT_ALLOW, nullptr);
      SetWindowTextW(window, kWindowTitle);
      g_instance = std::move(instance);
      return InstanceRole::kFirst;
    }
    // Another process holds it: its titled window takes the file. Without a window yet (it has
    // just made the mutex) or any more (it is leaving), the mutex is tried again.
    mutex.reset();
    if (HWND first = FindWindowExW(HWND_MESSAGE, nullptr, kWindowClass, kWindowTitle)) {
      if (!file) return InstanceRole::kHandedOver;
      if (const auto taken = send_file(first, *file)) {
        if (!*taken) g_warning("the running program refused the file %s", file->c_str());
        return InstanceRole::kHandedOver;
      }
    }
    g_usleep(kFindPauseMicroseconds);
  } while (g_get_monotonic_time() < deadline);
  g_warning("another start holds the session but does not answer; running alone");
  return InstanceRole::kAlone;
}

void release_instance() {
  g_instance.reset();
}

bool session_bus_present() {
  return false;
}

void enter_data_folder() {
  std::wstring module(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
    if (length == 0) return;
    if (length < module.size()) {
      module.resize(length);
      break;
    }
    module.resize(module.size() * 2);
  }
  const std::string program = from_utf16(module);
  if (program.empty()) return;
  GStr folder(g_path_get_dirname(program.c_str()));
  GStr interface_file(g_build_filename(folder.get(), "ui.glade", nullptr));
  if (g_file_test(interface_file.get(), G_FILE_TEST_IS_REGULAR)) g_chdir(folder.get());
}

}  // namespace platform
