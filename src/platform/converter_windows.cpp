// Starting the converter on Windows. Its arguments are handed over as a Windows command line.
// The converter runs in a console window of its own, which shows its progress and closes when it
// ends; the program keeps nothing of it, so it may outlive the program.
#include <windows.h>

#include <glib.h>

#include <vector>

#include "base/holders.h"
#include "platform/command_line_windows.h"
#include "platform/platform.h"

namespace platform {
namespace {

// CreateProcessW's bound on the command line, its final NUL included.
constexpr std::size_t kCommandLineLimit = 32767;

void set_error(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
}

bool is_program_file(const std::string& path) {
  return g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR);
}

// A name with a folder stands for itself. A bare name is looked for in the working folder,
// where the converter lies beside its libraries, and then in the folders of PATH, in order.
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

// UTF-16 for the wide-character entries; none for text that is not UTF-8 or holds a NUL.
std::optional<std::wstring> wide(const std::string& text) {
  if (text.find('\0') != std::string::npos) return std::nullopt;
  glong length = 0;
  GStr converted(reinterpret_cast<gchar*>(
      g_utf8_to_utf16(text.c_str(), static_cast<glong>(text.size()), nullptr, &length, nullptr)));
  if (!converted) return std::nullopt;
  return std::wstring(reinterpret_cast<const wchar_t*>(converted.get()),
                      static_cast<std::size_t>(length));
}

}  // namespace

bool converter_followed() {
  return false;
}

bool start_converter(const std::vector<std::string>& argv, std::shared_ptr<ConverterListener>,
                     std::string* error) {
  if (argv.empty()) {
    set_error(error, "it was given no command");
    return false;
  }
  const std::string joined = join_windows_command_line(argv);
  const auto line = wide(joined);
  if (!line || !g_utf8_validate(joined.c_str(), -1, nullptr)) {
    set_error(error, "its command line is not valid UTF-8");
    return false;
  }
  if (line->size() >= kCommandLineLimit) {
    set_error(error, "its command line is longer than Windows allows");
    return false;
  }
  const auto program = find_program(argv.front());
  const auto program_wide = program ? wide(*program) : std::nullopt;
  if (!program_wide) {
    set_error(error,
              "\"" + argv.front() + "\" was found neither in the working folder nor on PATH");
    return false;
  }

  std::vector<wchar_t> writable_line(line->begin(), line->end());  // CreateProcessW may write
  writable_line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program_wide->c_str(), writable_line.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &process)) {
    GStr reason(g_win32_error_message(static_cast<gint>(GetLastError())));
    set_error(error, "\"" + *program + "\": " + reason.get());
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool stop_converter(const ConverterListener&) {
  return false;
}

void finish_stopping(unsigned) {}

bool show_notification(const std::string&, const std::string&, const std::string&,
                       std::function<void()>) {
  return false;
}

}  // namespace platform
