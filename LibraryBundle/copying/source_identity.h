#pragma once
// Whether a file is still the same, unchanged file: its device and inode, size, and data- and
// status-change times to the nanosecond. Any difference, even of nanoseconds, means changed.
// Only as strong as the file system's time stamps; checksums guard the rest.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/json_record.h"
#include "platform/unique_fd.h"

namespace oakenmere::LibraryBundle {

struct SourceIdentity {
    std::int32_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;

    // The identity of the regular file at `path`, not following a final symbolic link, also
    // when `path` ends in "/". A missing file is a POSIX error (ENOENT); a link, folder or device
    // is VerifiedCopyError::unsafePath naming the path without its trailing "/".
    static SourceIdentity capture(const std::filesystem::path& path);
    // The identity a status describes; the device is kept in 32 bits, as the ledgers store it.
    static SourceIdentity of(const platform::FileStatus& status);

    bool operator==(const SourceIdentity&) const = default;

    // The members as records on disk name them, in the order ledgers write them: "size",
    // "device", "inode", "modifiedSeconds", "modifiedNanoseconds", "changedSeconds",
    // "changedNanoseconds".
    template <typename Json>
    void addTo(Json& record) const {
        record["size"] = size;
        record["device"] = device;
        record["inode"] = inode;
        record["modifiedSeconds"] = modifiedSeconds;
        record["modifiedNanoseconds"] = modifiedNanoseconds;
        record["changedSeconds"] = changedSeconds;
        record["changedNanoseconds"] = changedNanoseconds;
    }
    // The same members as fields to decode into, after `others`.
    std::vector<platform::JsonField> withJsonFields(std::initializer_list<platform::JsonField> others);
};

// True when a fresh capture equals `initial` (and `inspected`, when given); a capture that
// fails counts as changed.
bool isUnchanged(const std::filesystem::path& path, const SourceIdentity& initial, const SourceIdentity* inspected = nullptr);

// Opens for reading the file `identity` was captured from, never following a link and never
// waiting on a FIFO or device put in its place. Something that is not a regular file fails with
// platform::NotRegularFileError, another regular file with VerifiedCopyError::sourceChanged.
platform::UniqueFd openCaptured(const std::filesystem::path& path, const SourceIdentity& identity);

}  // namespace oakenmere::LibraryBundle

template <>
struct std::hash<oakenmere::LibraryBundle::SourceIdentity> {
    std::size_t operator()(const oakenmere::LibraryBundle::SourceIdentity& id) const noexcept;
};
