#pragma once
// What the program prints on standard output, and the one check that it got there.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/json.h"

namespace oakenmere::cli {

// "checksum  name" as sha256sum writes it, so `sha256sum -c` reads it back: a name holding a
// backslash, a newline or a carriage return is written escaped (\\, \n, \r) after a leading
// backslash.
std::string checksumLine(std::string_view checksum, std::string_view name);

// "1,284 files (3.2 GB)" in the user's locale.
std::string filesAndSize(std::int64_t files, std::int64_t bytes);

// Whether the user agrees to `question` (asked on the terminal, answered "y" or "yes"); always
// when `apply` was given, never when neither standard input nor output is a terminal or the
// output is JSON for a script.
bool confirmed(bool apply, bool json, const std::string& question);

// Writes `text` on standard output as it is, whatever bytes it holds; flushOutput reports a
// failure.
void printOut(std::string_view text);

// `value` as indented JSON and a newline, with what could steer a terminal written as \u escapes.
void printJson(const platform::Json& value);

// "oakenmere: message" on stderr, one line whatever the message holds: library text, paths and
// what the user typed in it cannot steer the terminal (controls and bidirectional controls are
// shown escaped).
void printError(std::string_view message);

// Flushes standard output. Throws std::system_error when anything printed could not be
// written (a full disk, a closed pipe), so that a lost result never exits with success.
void flushOutput();

}  // namespace oakenmere::cli
