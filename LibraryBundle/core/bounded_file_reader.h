#pragma once
// Reading a small file whole, with a hard byte limit, only if it is a regular file and never
// through a symbolic link. Stateless; any thread. No descriptor stays open after any outcome.
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <stop_token>
#include <string>

#include "platform/bytes.h"

namespace oakenmere::LibraryBundle {

class BoundedFileReadError : public std::exception {
public:
    enum class Case { invalidMaximumBytes, notRegularFile, tooLarge };

    explicit BoundedFileReadError(Case c) : case_(c) {}
    Case kind() const noexcept { return case_; }
    const char* what() const noexcept override;
    bool operator==(const BoundedFileReadError& other) const noexcept { return case_ == other.case_; }

private:
    Case case_;
};

namespace BoundedFileReader {

// The largest limit: one byte more than it must still be expressible.
inline constexpr std::int64_t largestMaximumBytes = INT64_MAX - 1;

// The file's bytes, at most `maximumBytes` of them. Fails with BoundedFileReadError (a limit
// outside 0 ... largestMaximumBytes; a symbolic link, folder, FIFO or device, never waited on
// nor made the controlling terminal; a file larger than the limit, also one that grows while it
// is read), a POSIX error, or CancellationError when `stop` is requested between reads.
platform::Bytes read(const std::filesystem::path& from, std::int64_t maximumBytes, const std::stop_token& stop = {});

}  // namespace BoundedFileReader
}  // namespace oakenmere::LibraryBundle
