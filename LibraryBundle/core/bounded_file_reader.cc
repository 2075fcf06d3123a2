#include "LibraryBundle/core/bounded_file_reader.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/posix_error.h"

namespace oakenmere::LibraryBundle {

const char* BoundedFileReadError::what() const noexcept {
    switch (case_) {
    case Case::invalidMaximumBytes: return "The maximum file size is invalid.";
    case Case::notRegularFile: return "The requested file is not a regular file.";
    case Case::tooLarge: return "The requested file exceeds the allowed size.";
    }
    return "";
}

namespace BoundedFileReader {

platform::Bytes read(const std::filesystem::path& from, std::int64_t maximumBytes, const std::stop_token& stop) {
    using Case = BoundedFileReadError::Case;
    if (maximumBytes < 0 || maximumBytes > largestMaximumBytes) throw BoundedFileReadError(Case::invalidMaximumBytes);

    platform::UniqueFd file;
    try {
        // O_NONBLOCK keeps the open from hanging on a FIFO or a device; O_NOCTTY keeps a
        // terminal in a file's place from becoming ours.
        file = platform::openPath(from, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ELOOP)) throw BoundedFileReadError(Case::notRegularFile);
        throw;
    }
    auto status = platform::statDescriptor(file);
    if (!status) platform::throwLastPosixError("fstat");
    if (!status->isRegular()) throw BoundedFileReadError(Case::notRegularFile);
    platform::clearNonBlocking(file);
    if (status->size > maximumBytes) throw BoundedFileReadError(Case::tooLarge);

    constexpr std::int64_t kChunk = 1 << 20;
    platform::Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(status->size));
    platform::throwIfCancelled(stop);
    while (true) {
        // One byte past the limit is asked for, so a file that grew is noticed; asking for a
        // little more than fstat promised keeps small records from allocating the whole limit.
        auto read = static_cast<std::int64_t>(bytes.size());
        std::int64_t expected = std::max<std::int64_t>(status->size - read, 0) + 4096;
        auto want = static_cast<std::size_t>(std::min({kChunk, maximumBytes + 1 - read, expected}));
        bytes.resize(bytes.size() + want);
        std::size_t got = platform::readSome(file, std::span(bytes).subspan(static_cast<std::size_t>(read), want));
        bytes.resize(static_cast<std::size_t>(read) + got);
        if (got == 0) break;
        if (static_cast<std::int64_t>(bytes.size()) > maximumBytes) throw BoundedFileReadError(Case::tooLarge);
        platform::throwIfCancelled(stop);
    }
    return bytes;
}

}  // namespace BoundedFileReader
}  // namespace oakenmere::LibraryBundle
