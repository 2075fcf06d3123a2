#pragma once
// What the program prints on standard output, and the one check that it got there.
#include <string>
#include <string_view>

#include "platform/json.h"

namespace oakenmere::cli {

// "checksum  name" as sha256sum writes it, so `sha256sum -c` reads it back: a name holding a
// backslash, a newline or a carriage return is written escaped (\\, \n, \r) after a leading
// backslash.
std::string checksumLine(std::string_view checksum, std::string_view name);

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
