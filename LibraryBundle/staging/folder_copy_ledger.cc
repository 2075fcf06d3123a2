#include "LibraryBundle/staging/folder_copy_ledger.h"

#include <algorithm>
#include <fcntl.h>
#include <functional>

#include "platform/file_io.h"
#include "platform/json.h"
#include "platform/json_record.h"
#include "platform/posix_error.h"

namespace oakenmere::LibraryBundle {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadBlock = 1 << 16;

// Calls `line` with each non-empty line of `name` in `folder`, read in blocks; a missing file has
// none. Lines are handed over without their line feed, a torn last one included.
void forEachLine(const fs::path& folder, const char* name, const std::function<void(platform::ByteView)>& line) {
    platform::UniqueFd file;
    try {
        file = platform::openAt(platform::openDirectory(folder), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    } catch (const std::system_error& error) {
        if (platform::isPosixError(error, ENOENT)) return;
        throw;
    }
    platform::Bytes pending, block(kReadBlock);
    while (std::size_t n = platform::readSome(file, block)) {
        auto start = block.begin(), end = block.begin() + static_cast<std::ptrdiff_t>(n);
        for (auto feed = std::find(start, end, '\n'); feed != end; feed = std::find(start, end, '\n')) {
            pending.insert(pending.end(), start, feed);
            if (!pending.empty()) line(pending);
            pending.clear();
            start = feed + 1;
        }
        pending.insert(pending.end(), start, end);
    }
    if (!pending.empty()) line(pending);
}

void appendTo(const fs::path& folder, const char* name, std::string record) {
    record += '\n';
    platform::appendLineDurably(platform::openDirectory(folder), name, platform::asBytes(record));
}

}  // namespace

bool FolderCopyLedger::Entry::matches(const fs::path& path) const {
    try {
        return SourceIdentity::capture(path) == identity();
    } catch (...) {
        return false;  // a file whose identity cannot be taken is not the one recorded
    }
}

std::string FolderCopyLedger::Entry::encodeJSON() const {
    platform::Json record{{"source", source}, {"destination", destination}, {"sha256", sha256}, {"duplicate", duplicate}, {"owned", owned}};
    addTo(record);
    return platform::encodeCompactJson(record, platform::InvalidUtf8::refuse);
}

FolderCopyLedger::Entry FolderCopyLedger::Entry::decodeJSON(platform::ByteView line) {
    Entry e;
    platform::decodeJsonRecord(line, "entry",
                               e.withJsonFields({{"source", &e.source},
                                                 {"destination", &e.destination},
                                                 {"sha256", &e.sha256},
                                                 {"duplicate", &e.duplicate},
                                                 {"owned", &e.owned, false}}));
    return e;
}

std::map<std::string, FolderCopyLedger::Entry> FolderCopyLedger::entries() const {
    std::map<std::string, Entry> entries;
    forEachLine(folder_, fileName, [&](platform::ByteView line) {
        try {
            Entry entry = Entry::decodeJSON(line);
            entries.insert_or_assign(entry.source, std::move(entry));
        } catch (const platform::DecodingError&) {
            // A torn or damaged line costs only its record: that file is checked or copied again.
        }
    });
    return entries;
}

std::set<std::string> FolderCopyLedger::claimed() const {
    std::set<std::string> names;
    forEachLine(folder_, claimsFileName, [&](platform::ByteView line) {
        try {
            std::string destination;
            bool released = false;
            platform::decodeJsonRecord(line, "claim", {{"destination", &destination}, {"released", &released}});
            if (released) names.erase(destination);
            else names.insert(std::move(destination));
        } catch (const platform::DecodingError&) {
            // As for entries: a damaged claim is skipped.
        }
    });
    return names;
}

void FolderCopyLedger::append(const Entry& entry) const { appendTo(folder_, fileName, entry.encodeJSON()); }

void FolderCopyLedger::appendClaim(const std::string& destination, bool released) const {
    appendTo(folder_, claimsFileName,
             platform::encodeCompactJson({{"destination", destination}, {"released", released}}, platform::InvalidUtf8::refuse));
}

}  // namespace oakenmere::LibraryBundle
