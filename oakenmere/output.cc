#include "oakenmere/output.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace oakenmere::cli {

std::string checksumLine(std::string_view checksum, std::string_view name) {
    std::string escaped;
    bool escapes = false;
    for (char c : name) {
        switch (c) {
            case '\\': escaped += "\\\\"; escapes = true; break;
            case '\n': escaped += "\\n"; escapes = true; break;
            case '\r': escaped += "\\r"; escapes = true; break;
            default: escaped += c;
        }
    }
    return (escapes ? "\\" : "") + std::string(checksum) + "  " + escaped + "\n";
}

void flushOutput() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    // An earlier write may have failed and taken its errno with it.
    throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "The output could not be written");
}

}  // namespace oakenmere::cli
