#include "platform/lock_table.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
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
    if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%" SCNu64, kind, mode, access, &pid, &major, &minor, &number) != 7)
        return false;
    if (std::strcmp(kind, "FLOCK") != 0 || number != inode) return false;
    for (std::uint64_t device : devices)
        if (::makedev(major, minor) == device) return true;
    return false;
}

}  // namespace

bool hasFlockHolder(std::initializer_list<std::uint64_t> devices, std::uint64_t inode) {
    UniqueFd table = openPath("/proc/locks", O_RDONLY);
    std::unique_ptr<FILE, int (*)(FILE*)> stream(::fdopen(table.get(), "r"), &std::fclose);
    if (!stream) throwLastPosixError("fdopen /proc/locks");
    table.release();
    char line[256];
    while (std::fgets(line, sizeof line, stream.get()))
        if (holdsFlock(line, devices, inode)) return true;
    if (std::ferror(stream.get())) throwPosixError(EIO, "read /proc/locks");
    return false;
}

}  // namespace oakenmere::platform
