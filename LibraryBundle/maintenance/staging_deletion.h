#pragma once
// Deletes files staged for import (copied or downloaded) once the library provably holds their
// bytes. The catalogue alone is never trusted: a library file with the same SHA-256 must be
// found, be a different file on disk, be hashed again from the disk (or found in this object's
// cache of hashes, keyed by the file's whole identity), and be confirmed by a second lookup.
// Whatever cannot be proven counts as not held, and the staged file stays.
//
// Copies share one cache; every operation may run on several threads at once. `lookup` must be
// safe to call from any thread.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <variant>
#include <vector>

#include "LibraryBundle/copying/source_identity.h"
#include "platform/bytes.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle {

class StagingDeletion {
public:
    struct LibraryFile {
        struct Managed {
            std::string path;  // relative to the package
            bool operator==(const Managed&) const = default;
        };
        struct Referenced {
            std::string path;                         // absolute
            std::optional<platform::Bytes> bookmark;  // carried, not resolved on this platform
            bool operator==(const Referenced&) const = default;
        };
        struct Elsewhere {
            bool operator==(const Elsewhere&) const = default;
        };
        using Place = std::variant<Managed, Referenced, Elsewhere>;

        platform::Uuid id;
        Place place;
        std::optional<std::int64_t> byteCount;
        bool isInRecentlyRemoved = false;
        bool operator==(const LibraryFile&) const = default;
    };

    struct Unreachable {
        std::optional<platform::Uuid> repairable;  // the first record worth repairing
        bool operator==(const Unreachable&) const = default;
    };
    struct None {
        bool operator==(const None&) const = default;
    };
    struct Held {
        bool operator==(const Held&) const = default;
    };
    using Holding = std::variant<Unreachable, None, Held>;

    // The catalogue's records of the content with this (lower-case) SHA-256; may throw.
    using Lookup = std::function<std::vector<LibraryFile>(const std::string& sha256)>;

    StagingDeletion(const std::filesystem::path& library, bool refusingAll, Lookup lookup);

    // Whether the library holds content of this checksum and size in a file other than
    // `excluding`. Throws what lookup throws, and platform::CancellationError.
    Holding holding(const std::string& sha256, std::int64_t size, const std::optional<SourceIdentity>& excluding,
                    const std::stop_token& stop = {}) const;
    // Never throw: every doubt is false and the staged file stays.
    bool isSafelyHeld(const std::filesystem::path& path, const SourceIdentity& identity, const std::string& sha256,
                      const std::stop_token& stop = {}) const noexcept;
    bool remove(const std::filesystem::path& path, const SourceIdentity& identity, const std::string& sha256,
                const std::stop_token& stop = {}) const noexcept;
    // Deletes the staged file if it is empty: that needs no proof.
    bool removeEmpty(const std::filesystem::path& path) const noexcept;

    // Library files hashed so far by this object and its copies.
    std::int64_t libraryFilesRead() const;

    bool refusesAll() const noexcept { return refusesAll_; }
    const std::filesystem::path& library() const noexcept { return library_; }

private:
    class VerifiedChecksums;
    bool isHeld(const LibraryFile& record, const std::string& sha, std::int64_t size, const std::optional<SourceIdentity>& excluding,
                const std::stop_token& stop) const;

    std::filesystem::path library_;
    bool refusesAll_;
    Lookup lookup_;
    std::shared_ptr<VerifiedChecksums> verified_;
};

}  // namespace oakenmere::LibraryBundle
