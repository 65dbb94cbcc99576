// What the Windows layer's tests share: a temporary working folder with a non-ASCII name, file
// helpers, and the stand-in converter that records how it was started.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace wintest {

// UTF-8 <-> UTF-16 with the API directly, independent of the layer's own helpers.
std::wstring wide(const std::string& utf8);
std::string narrow(const std::wstring& wide);

// A new folder under the temporary folder, named after `stem` (by default with non-ASCII
// letters), made the working folder for the fixture's life; the previous working folder comes
// back and the folder is removed with everything in it at the end.
class TempWorkingFolder {
 public:
  explicit TempWorkingFolder(const std::wstring& stem = L"tovimo-\u00e9t\u00e9-\u65e5\u672c");
  ~TempWorkingFolder();
  TempWorkingFolder(const TempWorkingFolder&) = delete;
  TempWorkingFolder& operator=(const TempWorkingFolder&) = delete;

  const std::wstring& path() const { return path_; }
  // `name` inside this folder.
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring previous_;
  std::wstring path_;
};

// Sets an environment variable for the fixture's life, then puts back what was there.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> previous_;
};

void write_file(const std::wstring& path, const std::string& contents);
void make_folder(const std::wstring& path);
void copy_file(const std::wstring& from, const std::wstring& to);
void remove_tree(const std::wstring& path);
bool exists(const std::wstring& path);

// The stand-in converter built beside the test program.
std::wstring recorder_program();

// How the stand-in converter was started.
struct Recording {
  std::string program;  // its own module path
  std::string working_folder;
  unsigned long process_id = 0;
  int console_processes = 0;              // processes attached to its console, itself included
  bool console_window = false;            // whether its console shows a window
  std::vector<std::string> runtime_argv;  // as its C runtime split the command line
  std::vector<std::string> shell_argv;    // as CommandLineToArgvW split it
};

// Waits, at most `bound`, until the recorded process has ended, so that its program file can be
// removed; false when it is still running.
bool wait_for_exit(const Recording& recording, std::chrono::milliseconds bound);

// Waits for the record file to appear, at most `bound`, and reads it; none on timeout or when
// the record is malformed.
std::optional<Recording> wait_for_recording(const std::wstring& path,
                                            std::chrono::milliseconds bound);

}  // namespace wintest
