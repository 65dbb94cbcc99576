// Stand-in converter for the tests: records how it was started into the file named by
// TOVIMO_ARGV_RECORD, then exits. The record is UTF-8, each field ended by a NUL:
//   module path, working folder, process id, processes on its console, whether its console has
//   a window, the C runtime's argument count and arguments,
//   CommandLineToArgvW's argument count and arguments.
// It is written under another name and then renamed, so a reader never sees half of it.
// Then, as the test asks: with TOVIMO_ARGV_TALK it writes a line to its standard output and one
// to its standard error; with TOVIMO_ARGV_DEAF it ignores Ctrl+Break; it runs for
// TOVIMO_ARGV_SECONDS; then it exits with 0.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include <string>
#include <vector>

namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

void add_field(std::string& record, const std::string& field) {
  record += field;
  record += '\0';
}

void add_arguments(std::string& record, int count, wchar_t** arguments) {
  add_field(record, std::to_string(count));
  for (int i = 0; i < count; ++i) add_field(record, utf8(arguments[i]));
}

std::wstring module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

std::wstring working_folder() {
  const DWORD size = GetCurrentDirectoryW(0, nullptr);
  std::wstring folder(size, L'\0');
  folder.resize(GetCurrentDirectoryW(size, folder.data()));
  return folder;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (GetEnvironmentVariableW(L"TOVIMO_ARGV_DEAF", nullptr, 0) > 0) {
    SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
  }
  wchar_t target[32768];
  const DWORD length = GetEnvironmentVariableW(L"TOVIMO_ARGV_RECORD", target, 32768);
  if (length == 0 || length >= 32768) return 2;

  std::string record;
  add_field(record, utf8(module_path()));
  add_field(record, utf8(working_folder()));
  add_field(record, std::to_string(GetCurrentProcessId()));
  DWORD console_processes[8];
  add_field(record, std::to_string(GetConsoleProcessList(console_processes, 8)));
  add_field(record, GetConsoleWindow() ? "1" : "0");
  add_arguments(record, argc, argv);
  int shell_count = 0;
  wchar_t** shell_argv = CommandLineToArgvW(GetCommandLineW(), &shell_count);
  add_arguments(record, shell_argv ? shell_count : -1, shell_argv);
  LocalFree(shell_argv);

  const std::wstring partial = std::wstring(target) + L".partial";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != record.size()) return 4;
  if (!MoveFileExW(partial.c_str(), target, MOVEFILE_REPLACE_EXISTING)) return 5;

  if (GetEnvironmentVariableW(L"TOVIMO_ARGV_TALK", nullptr, 0) > 0) {
    std::fputs("stand-in output\n", stdout);
    std::fputs("stand-in error\n", stderr);
    std::fflush(stdout);
    std::fflush(stderr);
  }
  wchar_t number[16];
  if (GetEnvironmentVariableW(L"TOVIMO_ARGV_SECONDS", number, 16) > 0) {
    Sleep(static_cast<DWORD>(_wtoi(number)) * 1000);
  }
  return 0;
}
