#pragma once
// The list a backup keeps of what it holds: "backup.json" at the top of the backup folder,
// pretty-printed with sorted keys, one entry per backed-up file (its path relative to the package
// and its SHA-256) in the order the files were copied. Written last, so a backup without it is an
// unfinished one.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/date.h"

namespace oakenmere::LibraryBundle {

struct LibraryBackupManifest {
    static constexpr const char* fileName = "backup.json";
    static constexpr std::int64_t maximumBytes = std::int64_t{64} << 20;

    struct Entry {
        std::string relativePath;  // "/"-separated, inside the package
        std::string sha256;        // lower-case hexadecimal
        bool operator==(const Entry&) const = default;
    };

    std::int64_t formatVersion = 1;
    platform::Date createdAt;
    bool includesReferencedOriginals = false;  // always written false; read, never acted on
    std::vector<Entry> files;

    bool operator==(const LibraryBackupManifest&) const = default;

    // Two-space indentation, sorted keys, "/" written as "\/".
    std::string encodeJSON() const;
    // Every key is required; a path holding NUL (which no file name can) or a checksum that is
    // not 64 hexadecimal digits is refused. Throws platform::DecodingError.
    static LibraryBackupManifest decodeJSON(platform::ByteView bytes);
};

}  // namespace oakenmere::LibraryBundle
