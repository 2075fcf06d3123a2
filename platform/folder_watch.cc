#include "platform/folder_watch.h"

#include <array>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>

#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::platform {

FolderWatch::FolderWatch(const std::filesystem::path& path) : watch_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    if (!watch_) throwLastPosixError("inotify_init1");
    if (::inotify_add_watch(watch_.get(), path.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW) < 0)
        throwLastPosixError("watch " + inQuotes(path.string()));
}

std::vector<std::string> FolderWatch::arrivals(std::chrono::milliseconds timeout) {
    std::vector<std::string> names;
    pollfd ready{watch_.get(), POLLIN, 0};
    const int count = ::poll(&ready, 1, static_cast<int>(timeout.count()));
    if (count < 0 && errno != EINTR) throwLastPosixError("poll");
    if (count <= 0) return names;
    alignas(inotify_event) std::array<std::uint8_t, 64 * 1024> buffer;
    for (;;) {
        std::size_t got = 0;
        try {
            got = readSome(watch_, buffer);
        } catch (const std::system_error& error) {
            if (isPosixError(error, EAGAIN)) break;
            throw;
        }
        if (got == 0) break;
        for (std::size_t at = 0; at + sizeof(inotify_event) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            if (event.len > 0) names.emplace_back(reinterpret_cast<const char*>(buffer.data() + at + sizeof event));
            at += sizeof event + event.len;
        }
    }
    return names;
}

}  // namespace oakenmere::platform
