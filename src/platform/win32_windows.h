// Helpers over the Win32 API for the Windows layer. The program's texts are UTF-8; Windows' own
// entries take UTF-16.
#pragma once

#include <optional>
#include <string>

namespace platform {

// None when `text` is not valid UTF-8 or holds a NUL.
std::optional<std::wstring> utf8_to_wide(const std::string& text);

// Unpaired surrogates are replaced, so the result is always valid UTF-8.
std::string wide_to_utf8(const std::wstring& text);

// Whether `path` (relative ones to the working folder) exists and is neither a folder nor a
// device, as GLib's test for a regular file has it on Windows.
bool is_regular_file(const std::wstring& path);

// The system's message for a Windows error code, without its final line break.
std::string system_message(unsigned long code);

}  // namespace platform
