#include "platform/lock_table.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/sysmacros.h>

#include "platform/file_io.h"
#include "platform/posix_error.h"

namespace oakenmere::platform {

namespace {

// One line of the table: "3: FLOCK  ADVISORY  WRITE 4711 fd:01:1234567 0 EOF". A waiter's line
// reads "3: -> FLOCK ..." and holds nothing.
bool holdsFlock(const char* line, std::initializer_list<std::uint64_t> devices, std::uint64_t inode) {
    char kind[16] = {};
    unsigned int major = 0, minor = 0;
    std::uint64_t number = 0;
    long pid = 0;
    char mode[16] = {}, access[16] = {};
    if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%" SCNu64, kind, mode, access, &pid, &major, &minor, &number) != 7) return false;
    if (std::strcmp(kind, "FLOCK") != 0 || number != inode) return false;
    for (std::uint64_t device : devices)
        if (::makedev(major, minor) == device) return true;
    return false;
}

}  // namespace

bool hasFlockHolder(std::initializer_list<std::uint64_t> devices, std::uint64_t inode) {
    // The table reports a size of 0, so it is read until a read comes back empty.
    UniqueFd table = openPath("/proc/locks", O_RDONLY);
    std::string text;
    std::array<std::uint8_t, 16384> buffer;
    while (std::size_t n = readSome(table, buffer)) text.append(reinterpret_cast<const char*>(buffer.data()), n);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (holdsFlock(text.substr(start, end - start).c_str(), devices, inode)) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace oakenmere::platform
