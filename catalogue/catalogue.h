#pragma once
// The host application's catalogue of a library: one SQLite database, "Database/catalogue.sqlite"
// inside the package (write-ahead log, prepared statements), listing every original the library
// manages with its checksum and metadata, and every import and what it published. It answers
// the package layer's questions (is this content held? which records hold it?) from an index on
// SHA-256.
//
// The schema carries a version (PRAGMA user_version) and is brought forward step by step when an
// older one is opened; a database of a newer schema is refused, never rewritten. Every change is
// one transaction and raises the catalogue's revision, which the preview summary carries.
//
// One Catalogue per open database; its calls may come from any thread (they run one at a time).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "LibraryBundle/maintenance/staging_deletion.h"
#include "LibraryBundle/preview/library_preview_summary.h"
#include "catalogue/photo_metadata.h"
#include "platform/date.h"
#include "platform/uuid.h"

struct sqlite3;

namespace oakenmere::catalogue {

// A database the catalogue cannot use: a newer schema, a file that is not a catalogue, or an
// SQLite failure; what() is one line for the user, naming SQLite's own message where there is one.
class CatalogueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Original {
    platform::Uuid id;         // the capture's identifier, also its folder under Masters
    std::string relativePath;  // inside the package: "Masters/1F/1F2E…/IMG_0001.JPG"
    std::string sha256;        // lower-case hexadecimal
    std::int64_t size = 0;
    PhotoMetadata metadata;
    platform::Date importedAt;
    // Where the original lives outside the package (a whole path) once the library's own copy
    // was given up; nothing while the package holds it at relativePath.
    std::optional<std::string> location;
    bool operator==(const Original&) const = default;
};

// An original that now lives at `location`, outside the package, or (nothing) in it again.
struct Relocation {
    platform::Uuid id;
    std::optional<std::string> location;  // a whole path
};

// A source file an import found, and the content it held.
struct SourceFile {
    std::string fileName;
    std::int64_t size = 0;
    std::int64_t modified = 0;  // seconds since 1970
    std::string sha256;
    bool operator==(const SourceFile&) const = default;
};

struct Import {
    platform::Uuid id;
    platform::Date startedAt;
    platform::Date finishedAt;
    std::string source;           // the folder or camera imported from, as given
    std::int64_t published = 0;   // originals added
    std::int64_t duplicates = 0;  // files the library already held
    std::int64_t failures = 0;
    bool operator==(const Import&) const = default;
};

// The numbers the preview summary is written from.
struct Statistics {
    std::int64_t revision = 0;
    std::int64_t originals = 0;
    std::int64_t photos = 0;  // photos and RAWs
    std::int64_t raws = 0;
    std::int64_t videos = 0;
    std::optional<platform::Date> earliestCapture, latestCapture;
    std::vector<LibraryBundle::LibraryPreviewSummary::NamedCount> cameras;  // most used first, at most 5
    std::int64_t bytes = 0;                                                 // all originals' sizes
    std::int64_t copiedInside = 0;                                          // originals the package holds a copy of
    std::int64_t copiedInsideBytes = 0;                                     // and their sizes
};

class Catalogue {
public:
    static constexpr int schemaVersion = 4;
    static constexpr std::string_view relativePath = "Database/catalogue.sqlite";

    // Opens the package's catalogue, creating an empty one (and "Database", never the package) when
    // there is none, and brings an older schema forward. A symbolic link on the way is refused
    // (VerifiedCopyError::unsafePath); a newer schema, a file that is not SQLite or another
    // program's database is refused with CatalogueError before anything in it is changed.
    explicit Catalogue(const std::filesystem::path& package);
    ~Catalogue();
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    // Whether a catalogue exists in `package` (for readers that must not create one).
    static bool exists(const std::filesystem::path& package);

    // Whether an original with this SHA-256 (either case) is catalogued.
    bool isHeld(const std::string& sha256) const;
    // The records of the content with this SHA-256, as staging deletion asks for them.
    std::vector<LibraryBundle::StagingDeletion::LibraryFile> lookup(const std::string& sha256) const;

    // Adds the import, its originals and the source files it found in one transaction and raises
    // the revision (a source file already known is not added again); on any failure
    // (an identifier or path already catalogued, a date that is not a number) nothing is recorded.
    // Once it returns, the record survives a crash or a power cut.
    void record(const Import& import, const std::vector<Original>& originals, const std::vector<SourceFile>& sources = {});

    Statistics statistics() const;
    // The newest originals by capture date (then import order), at most `count`.
    std::vector<Original> newest(std::size_t count, std::optional<MediaKind> kind = std::nullopt) const;
    std::vector<Import> imports() const;
    // Every original, by relative path.
    std::vector<Original> originals() const;
    // Records where originals now live, all or none in one transaction (an original not
    // catalogued, or a location that is no whole path, records nothing), and raises the revision.
    void relocate(const std::vector<Relocation>& moves);
    // Whether an original is catalogued at this path inside the package.
    bool holdsPath(const std::string& relativePath) const;
    // Whether an original of this file name and size is catalogued: a hint that a file is
    // already in the library, to be proven by its checksum.
    bool mayHold(const std::string& fileName, std::int64_t size) const;
    // Whether an import found a source file of this name, size and modification time whose
    // content the library holds: the same hint, for files not at hand (on a camera).
    bool mayHold(const std::string& fileName, std::int64_t size, std::int64_t modified) const;
    // Raises the revision without changing anything else, so a summary written now replaces the last.
    void advanceRevision();
    std::int64_t revision() const;

    // Folds the write-ahead log into the database file and closes it, so the package holds one
    // complete file (before a backup). The object can then only be destroyed: other calls throw
    // std::logic_error.
    void checkpointAndClose();

private:
    mutable std::mutex serial_;
    sqlite3* db_ = nullptr;
};

}  // namespace oakenmere::catalogue
