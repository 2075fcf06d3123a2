#include "oakenmere/arguments.h"

#include "platform/quoted.h"
#include "platform/sha256.h"

namespace oakenmere::cli {

CLI::Validator nonEmptyPath() {
    return CLI::Validator([](std::string& path) { return path.empty() ? std::string("an empty path names no file") : std::string(); },
                          "PATH");
}

CLI::Validator libraryName() {
    return CLI::Validator(
        [](std::string& name) {
            if (!name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos) return std::string();
            return platform::inQuotes(name) +
                   " can\u2019t name a library: a name is not empty, \u201C.\u201D or \u201C..\u201D, and holds no \u201C/\u201D";
        },
        "NAME");
}

CLI::Validator checksum() {
    return CLI::Validator(
        [](std::string& text) {
            return platform::isChecksumText(text) ? std::string() : std::string("a SHA-256 checksum is 64 hexadecimal digits");
        },
        "HEX");
}

}  // namespace oakenmere::cli
