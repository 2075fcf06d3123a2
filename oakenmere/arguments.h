#pragma once
// Checks of what the user typed, made while the command line is read, so that a mistake is a
// usage error (exit status 2) before anything is read or made.
#include <CLI/CLI.hpp>

namespace oakenmere::cli {

// A path that names something: an empty one is refused.
CLI::Validator nonEmptyPath();
// A library's name, which becomes one entry of the folder it is made in.
CLI::Validator libraryName();
// A SHA-256 checksum: 64 hexadecimal digits, either case.
CLI::Validator checksum();

}  // namespace oakenmere::cli
