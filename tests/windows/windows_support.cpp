#include "windows_support.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace wintest {
namespace {

std::wstring temp_folder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary folder");
  std::wstring folder(buffer, length);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

std::wstring current_folder() {
  const DWORD size = GetCurrentDirectoryW(0, nullptr);
  std::wstring folder(size, L'\0');
  folder.resize(GetCurrentDirectoryW(size, folder.data()));
  return folder;
}

std::optional<std::string> read_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string contents;
  char block[4096];
  DWORD got = 0;
  while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) contents.append(block, got);
  CloseHandle(file);
  return contents;
}

std::optional<Recording> parse_recording(const std::string& record) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t end; (end = record.find('\0', start)) != std::string::npos; start = end + 1) {
    fields.push_back(record.substr(start, end - start));
  }
  if (start != record.size() || fields.size() < 6) return std::nullopt;
  Recording recording;
  recording.program = fields[0];
  recording.working_folder = fields[1];
  recording.process_id = std::stoul(fields[2]);
  recording.console_processes = std::stoi(fields[3]);
  recording.console_window = fields[4] == "1";
  std::size_t next = 5;
  for (std::vector<std::string>* argv : {&recording.runtime_argv, &recording.shell_argv}) {
    if (next >= fields.size()) return std::nullopt;
    const int count = std::stoi(fields[next++]);
    if (count < 0 || next + static_cast<std::size_t>(count) > fields.size()) return std::nullopt;
    argv->assign(fields.begin() + next, fields.begin() + next + count);
    next += count;
  }
  if (next != fields.size()) return std::nullopt;
  return recording;
}

}  // namespace

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (length <= 0) throw std::runtime_error("not UTF-8: " + utf8);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, result.data(), length);
  return result;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, result.data(), length, nullptr, nullptr);
  return result;
}

TempWorkingFolder::TempWorkingFolder(const std::wstring& stem) : previous_(current_folder()) {
  // Process ids are reused, and a folder of an earlier run may have outlived it.
  static std::atomic<unsigned> serial{0};
  const std::wstring base =
      temp_folder() + L"\\" + stem + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (;;) {
    path_ = base + std::to_wstring(serial++);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      throw std::runtime_error("cannot create folder " + narrow(path_));
    }
  }
  if (!SetCurrentDirectoryW(path_.c_str())) throw std::runtime_error("cannot enter temp folder");
}

TempWorkingFolder::~TempWorkingFolder() {
  SetCurrentDirectoryW(previous_.c_str());
  // A console host that Wine started for a converter may still hold the folder as its working
  // folder for a moment after the converter has ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    remove_tree(path_);
    if (!exists(path_) || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size > 0) {
    std::wstring old(size, L'\0');
    old.resize(GetEnvironmentVariableW(name, old.data(), size));
    previous_ = old;
  }
  SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
  SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

void write_file(const std::wstring& path, const std::string& contents) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + narrow(path));
  DWORD written = 0;
  WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
  CloseHandle(file);
}

void make_folder(const std::wstring& path) {
  if (!CreateDirectoryW(path.c_str(), nullptr)) {
    throw std::runtime_error("cannot create folder " + narrow(path));
  }
}

void copy_file(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy " + narrow(from) + " to " + narrow(to));
  }
}

void remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring recorder_program() {
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length < self.size()) {
      self.resize(length);
      break;
    }
    self.resize(self.size() * 2);
  }
  return self.substr(0, self.find_last_of(L"\\/") + 1) + wide(TOVIMO_ARGV_RECORDER);
}

std::optional<Recording> wait_for_recording(const std::wstring& path,
                                            std::chrono::milliseconds bound) {
  // Polled: Wine's change notifications can miss the rename that makes the record appear.
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (auto contents = read_file(path)) return parse_recording(*contents);
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool wait_for_exit(const Recording& recording, std::chrono::milliseconds bound) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, recording.process_id);
  if (!process) return true;  // already gone
  const bool ended =
      WaitForSingleObject(process, static_cast<DWORD>(bound.count())) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

}  // namespace wintest
