#pragma once
// What a folder copy job's copier has done, kept in the job's folder so that a stopped run can
// be resumed without copying a finished file twice or taking a half-made file for a finished one:
// ".copied.jsonl" (one Entry per finished source) and ".claiming.jsonl" (each destination name a
// run is about to create, and its release).
//
// Both are JSON Lines: one compact sorted-key object and a line feed per record, only ever
// appended to. An append is one write of the whole line, flushed before it returns, so once it
// has returned the record survives a crash and a power cut; a crash during it leaves at most a
// torn last line, which readers skip and the next append steps over. Readers read the file in
// blocks, keeping only the records, so memory follows the number of distinct keys.
//
// One copier appends at a time; readers may run alongside.
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "LibraryBundle/copying/source_identity.h"
#include "platform/bytes.h"

namespace oakenmere::LibraryBundle {

class FolderCopyLedger {
public:
    static constexpr const char* fileName = ".copied.jsonl";
    static constexpr const char* claimsFileName = ".claiming.jsonl";

    // The identity is that of the file holding the content (`destination`), as recorded.
    struct Entry : SourceIdentity {
        std::string source;
        std::string destination;  // the file that holds the content: the copy, or the file adopted
        std::string sha256;
        bool duplicate = false;
        bool owned = false;  // made by this job; only such a file is ever deleted by the copier

        const SourceIdentity& identity() const { return *this; }
        // Whether the file at `path` has exactly this identity now; false when it cannot be taken.
        bool matches(const std::filesystem::path& path) const;
        bool operator==(const Entry&) const = default;
        std::string encodeJSON() const;
        static Entry decodeJSON(platform::ByteView line);  // throws platform::DecodingError
    };

    explicit FolderCopyLedger(std::filesystem::path folder) : folder_(std::move(folder)) {}
    const std::filesystem::path& folder() const noexcept { return folder_; }

    // Each source's last entry; an empty map when there is no ledger yet. A read failure throws.
    std::map<std::string, Entry> entries() const;
    // The destination names claimed and not released since.
    std::set<std::string> claimed() const;

    // Durable appends; POSIX errors pass on.
    void append(const Entry& entry) const;
    void appendClaim(const std::string& destination, bool released) const;

private:
    std::filesystem::path folder_;
};

}  // namespace oakenmere::LibraryBundle
