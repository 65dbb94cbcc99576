// Everything that depends on the operating system, behind a few plain functions.
// No toolkit types cross this interface.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using HardwareAddress = std::array<std::uint8_t, 6>;

// The six-byte hardware address of the machine's primary network adapter, or none.
std::optional<HardwareAddress> adapter_address();

// Whether the HTTP library's and its compression library's runtime files are present.
bool http_runtime_present();

// Whether the converter and its runtime files are present.
bool converter_runtime_present();

// The converter's program name, first word of its command line.
const char* converter_name();

// Shows `url` in the user's default browser. On failure returns false and, when `error` is
// given, a reason fit for a dialog.
bool open_url(const std::string& url, std::string* error);

// Starts the converter from its printed command line, without waiting for it, and shows its
// output to the user while it runs. On failure returns false with a reason fit for a dialog.
// Needs the toolkit to be initialised.
bool start_converter(const std::string& command_line, std::string* error);

}  // namespace platform
