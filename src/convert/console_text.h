// What the converter's output window shows of the output so far.
#pragma once

#include <cstddef>
#include <string>

// The last `max_lines` lines of a terminal-style output: a carriage return starts its line
// over (progress lines rewrite themselves), invalid UTF-8 is repaired.
std::string console_view(const std::string& output, std::size_t max_lines);
