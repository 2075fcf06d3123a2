#include "oakenmere/output.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <system_error>
#include <unistd.h>

#include "platform/locale_format.h"
#include "platform/printable.h"
#include "platform/terminal.h"

namespace oakenmere::cli {

std::string checksumLine(std::string_view checksum, std::string_view name) {
    std::string escaped;
    bool escapes = false;
    for (char c : name) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            escapes = true;
            break;
        case '\n':
            escaped += "\\n";
            escapes = true;
            break;
        case '\r':
            escaped += "\\r";
            escapes = true;
            break;
        default: escaped += c;
        }
    }
    return (escapes ? "\\" : "") + std::string(checksum) + "  " + escaped + "\n";
}

void printOut(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void printJson(const platform::Json& value) { printOut(platform::printableJson(platform::encodePrettyJson(value)) + "\n"); }

void printError(std::string_view message) { std::fprintf(stderr, "oakenmere: %s\n", platform::printable(message).c_str()); }

void flushOutput() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    // An earlier write may have failed and taken its errno with it.
    throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "The output could not be written");
}

std::string filesAndSize(std::int64_t files, std::int64_t bytes) {
    platform::LocaleFormat format;
    return format.integer(files) + (files == 1 ? " file (" : " files (") + format.fileSize(bytes) + ")";
}

bool confirmed(bool apply, bool json, const std::string& question) {
    if (apply) return true;
    if (json || !platform::isTerminal(STDIN_FILENO) || !platform::isTerminal(STDOUT_FILENO)) return false;
    printOut(question + " [y/N] ");
    flushOutput();
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

}  // namespace oakenmere::cli
