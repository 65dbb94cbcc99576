// Starting the converter on Windows. Its arguments are handed over as a Windows command line.
// The converter runs in a console window of its own, which shows its progress and closes when it
// ends; the program keeps nothing of it, so it may outlive the program.
#include <windows.h>

#include <vector>

#include "platform/command_line_windows.h"
#include "platform/platform.h"
#include "platform/win32_windows.h"

namespace platform {
namespace {

// CreateProcessW's bound on the command line, its final NUL included.
constexpr std::size_t kCommandLineLimit = 32767;

void set_error(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
}

std::wstring full_path(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return full;
}

std::vector<std::wstring> search_path() {
  std::vector<std::wstring> folders;
  const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (size == 0) return folders;
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(L"PATH", value.data(), size));
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find(L';', start);
    if (end == std::wstring::npos) end = value.size();
    std::wstring folder = value.substr(start, end - start);
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') {
      folder = folder.substr(1, folder.size() - 2);
    }
    if (!folder.empty()) folders.push_back(std::move(folder));
    start = end + 1;
  }
  return folders;
}

// A name with a folder stands for itself. A bare name is looked for in the working folder,
// where the converter lies beside its libraries, and then in the folders of PATH, in order.
std::optional<std::wstring> find_program(const std::wstring& name) {
  if (is_regular_file(name)) return full_path(name);
  if (name.find_first_of(L"\\/:") != std::wstring::npos) return std::nullopt;
  for (std::wstring candidate : search_path()) {
    if (candidate.back() != L'\\' && candidate.back() != L'/') candidate += L'\\';
    candidate += name;
    if (is_regular_file(candidate)) return full_path(candidate);
  }
  return std::nullopt;
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
  const auto name = utf8_to_wide(argv.front());
  const auto line = utf8_to_wide(join_windows_command_line(argv));
  if (!name || !line) {
    set_error(error, "its command line is not valid UTF-8");
    return false;
  }
  if (line->size() >= kCommandLineLimit) {
    set_error(error, "its command line is longer than Windows allows");
    return false;
  }
  const auto program = find_program(*name);
  if (!program) {
    set_error(error,
              "\"" + argv.front() + "\" was found neither in the working folder nor on PATH");
    return false;
  }

  std::vector<wchar_t> writable_line(line->begin(), line->end());  // CreateProcessW may write
  writable_line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program->c_str(), writable_line.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &process)) {
    set_error(error, "\"" + wide_to_utf8(*program) + "\": " + system_message(GetLastError()));
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool stop_converter(const ConverterListener&) {
  return false;
}

bool show_notification(const std::string&, const std::string&, const std::string&,
                       std::function<void()>) {
  return false;
}

}  // namespace platform
