#include "platform/terminal.h"

#include <cstdlib>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>

namespace oakenmere::platform {

bool isTerminal(int fd) noexcept { return ::isatty(fd) == 1; }

std::size_t terminalColumns(int fd) noexcept {
    struct winsize size {};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

bool wantsColour(int fd) noexcept {
    const char* noColour = std::getenv("NO_COLOR");
    if (noColour != nullptr && noColour[0] != '\0') return false;
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::string_view(term) == "dumb") return false;
    return isTerminal(fd);
}

}  // namespace oakenmere::platform
