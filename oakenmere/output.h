#pragma once
// What the program prints on standard output, and the one check that it got there.
#include <string>
#include <string_view>

namespace oakenmere::cli {

// "checksum  name" as sha256sum writes it, so `sha256sum -c` reads it back: a name holding a
// backslash, a newline or a carriage return is written escaped (\\, \n, \r) after a leading
// backslash.
std::string checksumLine(std::string_view checksum, std::string_view name);

// Flushes standard output. Throws std::system_error when anything printed could not be
// written (a full disk, a closed pipe), so that a lost result never exits with success.
void flushOutput();

}  // namespace oakenmere::cli
