// What the Windows files of the platform layer share.
#pragma once

#include <optional>
#include <string>

namespace platform {

// UTF-16 for the wide-character entries; none for text that is not UTF-8 or holds a NUL.
std::optional<std::wstring> utf16(const std::string& utf8);

// Where a program lies: a name with a folder stands for itself; a bare name is looked for in the
// working folder (where the converter lies beside its libraries), then in the folders of PATH,
// in order. None when it is nowhere.
std::optional<std::string> find_program(const std::string& name);

}  // namespace platform
