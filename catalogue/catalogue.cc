#include "catalogue/catalogue.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <limits>
#include <map>

#include "LibraryBundle/core/package_path.h"
#include "platform/file_io.h"
#include "platform/quoted.h"
#include "platform/text.h"

namespace oakenmere::catalogue {

namespace {

using LibraryBundle::StagingDeletion;
using Summary = LibraryBundle::LibraryPreviewSummary;

// Long enough to outlast another process's commit, short enough that a stuck one is reported.
constexpr int kBusyTimeoutMilliseconds = 10'000;

// Each step brings the schema from the version of its index to the next; it runs in one
// transaction and ends by setting that version.
constexpr std::array<const char*, Catalogue::schemaVersion> kMigrations{R"sql(
CREATE TABLE imports (
    id TEXT PRIMARY KEY NOT NULL,
    started_at REAL NOT NULL,
    finished_at REAL NOT NULL,
    source TEXT NOT NULL,
    published INTEGER NOT NULL CHECK (published >= 0),
    duplicates INTEGER NOT NULL CHECK (duplicates >= 0),
    failures INTEGER NOT NULL CHECK (failures >= 0)
) STRICT;
CREATE TABLE originals (
    id TEXT PRIMARY KEY NOT NULL,
    relative_path TEXT UNIQUE NOT NULL,
    sha256 TEXT NOT NULL CHECK (length(sha256) = 64 AND sha256 NOT GLOB '*[^0-9a-f]*'),
    size INTEGER NOT NULL CHECK (size >= 0),
    capture_date REAL NOT NULL,
    capture_date_from_metadata INTEGER NOT NULL,
    camera_make TEXT NOT NULL,
    camera_model TEXT NOT NULL,
    pixel_width INTEGER,
    pixel_height INTEGER,
    kind TEXT NOT NULL CHECK (kind IN ('photo', 'raw', 'video', 'other')),
    imported_at REAL NOT NULL,
    import_id TEXT NOT NULL REFERENCES imports(id)
) STRICT;
CREATE INDEX originals_by_sha256 ON originals(sha256);
CREATE INDEX originals_by_capture_date ON originals(capture_date);
CREATE INDEX originals_by_import ON originals(import_id);
CREATE INDEX originals_by_size ON originals(size);
CREATE TABLE meta (
    only_row INTEGER PRIMARY KEY CHECK (only_row = 1),
    revision INTEGER NOT NULL
) STRICT;
INSERT INTO meta (only_row, revision) VALUES (1, 0);
PRAGMA user_version = 1;
)sql",
                                                                        R"sql(
-- "Is a file of this name and size here already?" is asked of every file an import finds: an
-- index answers it without reading every original of that size.
ALTER TABLE originals ADD COLUMN file_name TEXT NOT NULL DEFAULT '';
UPDATE originals SET file_name = substr(relative_path, length(rtrim(relative_path, replace(relative_path, '/', ''))) + 1);
CREATE INDEX originals_by_name_and_size ON originals(file_name, size);
PRAGMA user_version = 2;
)sql",
                                                                        R"sql(
-- Each source file an import found, by name, size and modification time (a camera's clock for a
-- camera file), with the content it held: a card imported again is recognised before anything is
-- downloaded, also files whose bytes the library already held under another name.
CREATE TABLE sources (
    file_name TEXT NOT NULL,
    size INTEGER NOT NULL CHECK (size >= 0),
    modified INTEGER NOT NULL,
    sha256 TEXT NOT NULL CHECK (length(sha256) = 64 AND sha256 NOT GLOB '*[^0-9a-f]*'),
    PRIMARY KEY (file_name, size, modified, sha256)
) STRICT, WITHOUT ROWID;
PRAGMA user_version = 3;
)sql",
                                                                        R"sql(
-- An original whose copy in the package was given up is read where it lives outside: an absolute
-- path. NULL while the package holds it at relative_path.
ALTER TABLE originals ADD COLUMN location TEXT CHECK (location IS NULL OR substr(location, 1, 1) = '/');
PRAGMA user_version = 4;
)sql"};

// Whether the user was reading the catalogue or changing it when SQLite failed.
enum class Doing { reading, changing };

[[noreturn]] void fail(Doing doing, std::string_view detail) {
    std::string message =
        doing == Doing::reading ? "This library’s catalogue can’t be read: " : "This library’s catalogue can’t be changed: ";
    message += detail;
    message += ".";
    throw CatalogueError(message);
}

[[noreturn]] void fail(sqlite3* db, Doing doing) { fail(doing, sqlite3_errmsg(db)); }

void check(sqlite3* db, int rc, Doing doing) {
    if (rc != SQLITE_OK) fail(db, doing);
}

// Constant SQL without values: pragmas, transaction control and the migration steps.
void run(sqlite3* db, const char* sql, Doing doing) { check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), doing); }

class Statement {
public:
    Statement(sqlite3* db, std::string_view sql, Doing doing) : db_(db), doing_(doing) {
        check(db_, sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), 0, &statement_, nullptr), doing_);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& text(int index, std::string_view value) {
        check(db_, sqlite3_bind_text64(statement_, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8), doing_);
        return *this;
    }
    Statement& optionalText(int index, const std::optional<std::string>& value) {
        if (value) return text(index, std::string_view(*value));
        check(db_, sqlite3_bind_null(statement_, index), doing_);
        return *this;
    }
    Statement& integer(int index, std::int64_t value) {
        check(db_, sqlite3_bind_int64(statement_, index, value), doing_);
        return *this;
    }
    Statement& integer(int index, const std::optional<std::int64_t>& value) {
        check(db_, value ? sqlite3_bind_int64(statement_, index, *value) : sqlite3_bind_null(statement_, index), doing_);
        return *this;
    }
    Statement& real(int index, double value) {
        check(db_, sqlite3_bind_double(statement_, index, value), doing_);
        return *this;
    }

    // Whether a row is ready.
    bool step() {
        const int rc = sqlite3_step(statement_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(db_, doing_);
    }
    // Runs a statement that returns no rows, ready to be bound and run again.
    void execute() {
        if (step()) fail(doing_, "a statement returned rows it should not");
        check(db_, sqlite3_reset(statement_), doing_);
    }
    // The single row of an aggregate or pragma.
    Statement& row() {
        if (!step()) fail(doing_, "a statement returned no row");
        return *this;
    }

    bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    double real(int column) const { return sqlite3_column_double(statement_, column); }
    std::string text(int column) const {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))) : std::string();
    }
    platform::Uuid uuid(int column) const {
        const std::string value = text(column);
        if (auto id = platform::Uuid::parse(value)) return *id;
        fail(Doing::reading, "the identifier " + platform::inQuotes(value) + " is not a UUID");
    }
    platform::Date date(int column) const { return platform::Date{real(column)}; }

private:
    sqlite3* db_;
    Doing doing_;
    sqlite3_stmt* statement_ = nullptr;
};

// Rolls back unless committed, so a failure leaves nothing half done.
class Transaction {
public:
    Transaction(sqlite3* db, const char* begin, Doing doing) : db_(db), doing_(doing) { run(db_, begin, doing_); }
    ~Transaction() {
        // The failure that brought us here is the one to report; a failed rollback adds nothing.
        if (!committed_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        run(db_, "COMMIT", doing_);
        committed_ = true;
    }

private:
    sqlite3* db_;
    Doing doing_;
    bool committed_ = false;
};

sqlite3* opened(sqlite3* db) {
    if (!db) throw std::logic_error("the catalogue was used after checkpointAndClose()");
    return db;
}

int userVersion(sqlite3* db) { return static_cast<int>(Statement(db, "PRAGMA user_version", Doing::reading).row().integer(0)); }

// A version this program can bring forward, or the refusal to touch the database.
int usableVersion(int version) {
    if (version > Catalogue::schemaVersion)
        throw CatalogueError("This library’s catalogue was written by a newer version of Oakenmere (catalogue version " +
                             std::to_string(version) + "); this version reads up to version " + std::to_string(Catalogue::schemaVersion) +
                             ".");
    if (version < 0) fail(Doing::reading, "its version " + std::to_string(version) + " is not one Oakenmere writes");
    return version;
}

// Only an empty database is taken for a new catalogue: another program's tables are never written to.
bool isEmpty(sqlite3* db) { return Statement(db, "SELECT NOT EXISTS (SELECT 1 FROM sqlite_schema)", Doing::reading).row().integer(0) != 0; }

// A database at one of our version numbers is ours only if it has our tables: other programs
// number their schemas too.
bool hasCatalogueTables(sqlite3* db) {
    return Statement(db, "SELECT COUNT(*) FROM sqlite_schema WHERE type = 'table' AND name IN ('imports', 'originals', 'meta')",
                     Doing::reading)
               .row()
               .integer(0) == 3;
}

void prepare(sqlite3* db) {
    check(db, sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds), Doing::reading);
    // The first read: a file that is not a database fails here, and nothing has been written yet.
    int version = usableVersion(userVersion(db));
    if (version == 0 ? !isEmpty(db) : !hasCatalogueTables(db)) fail(Doing::reading, "it holds tables Oakenmere did not make");
    if (Statement(db, "PRAGMA journal_mode = WAL", Doing::reading).row().text(0) != "wal")
        fail(Doing::reading, "its write-ahead log can’t be turned on");
    // These are photographers' only copies: a commit is on the device before it returns.
    run(db, "PRAGMA synchronous = FULL", Doing::reading);
    run(db, "PRAGMA foreign_keys = ON", Doing::reading);
    while (version < Catalogue::schemaVersion) {
        Transaction step(db, "BEGIN IMMEDIATE", Doing::changing);
        // Another process may have brought the schema forward while we waited for the lock.
        if (const int now = usableVersion(userVersion(db)); now != version) {
            version = now;
            continue;
        }
        run(db, kMigrations[static_cast<std::size_t>(version)], Doing::changing);
        step.commit();
        ++version;
    }
}

std::string lowercasedHex(std::string_view sha256) {
    std::string lower(sha256);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// "Make Model", without repeating a make the model already starts with; at most the summary's
// number of characters, and always UTF-8 (a stray byte becomes U+FFFD) so the summary can hold it.
std::string cameraName(const std::string& make, const std::string& model) {
    const std::string name = model.empty() ? make : make.empty() || startsWithIgnoringCase(model, make) ? model : make + " " + model;
    if (platform::isValidUtf8(name) && platform::hasAtMostGraphemes(name, Summary::maximumNameCharacters)) return name;
    std::vector<std::string> characters = platform::graphemeClusters(name);
    characters.resize(std::min(characters.size(), Summary::maximumNameCharacters));
    std::string cut;
    for (const std::string& character : characters) cut += character;
    return cut;
}

std::int64_t readRevision(sqlite3* db) { return Statement(db, "SELECT revision FROM meta", Doing::reading).row().integer(0); }

}  // namespace

Catalogue::Catalogue(const std::filesystem::path& package) {
    const std::filesystem::path path = package / relativePath;
    LibraryBundle::PackagePath::rejectSymlinks(path);
    // Only "Database" is made: a package that is not there is not one to open.
    platform::makeFolder(path.parent_path(), 0755);
    // No mutex of SQLite's own: serial_ already lets one call at a time use the connection.
    const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX, nullptr);
    try {
        check(db_, rc, Doing::reading);
        prepare(db_);
    } catch (...) {
        sqlite3_close(db_);  // nothing was changed that closing could lose
        db_ = nullptr;
        throw;
    }
}

namespace {

constexpr std::string_view kOriginalColumns =
    "SELECT id, relative_path, sha256, size, capture_date, capture_date_from_metadata, camera_make, camera_model, "
    "pixel_width, pixel_height, kind, imported_at, location";

// The originals of rows selected with kOriginalColumns.
std::vector<Original> originalsFrom(Statement& rows) {
    std::vector<Original> originals;
    while (rows.step()) {
        Original& original = originals.emplace_back();
        original.id = rows.uuid(0);
        original.relativePath = rows.text(1);
        original.sha256 = rows.text(2);
        original.size = rows.integer(3);
        PhotoMetadata& metadata = original.metadata;
        metadata.captureDate = rows.date(4);
        metadata.captureDateFromMetadata = rows.integer(5) != 0;
        metadata.cameraMake = rows.text(6);
        metadata.cameraModel = rows.text(7);
        if (!rows.isNull(8)) metadata.pixelWidth = rows.integer(8);
        if (!rows.isNull(9)) metadata.pixelHeight = rows.integer(9);
        const std::string kindName = rows.text(10);
        const auto stored = mediaKind(kindName);
        if (!stored) fail(Doing::reading, "the kind " + platform::inQuotes(kindName) + " is not one Oakenmere knows");
        metadata.kind = *stored;
        original.importedAt = rows.date(11);
        if (!rows.isNull(12)) original.location = rows.text(12);
    }
    return originals;
}

}  // namespace

Catalogue::~Catalogue() {
    // A failure has nowhere to go here; SQLite folds the log in when the database is next opened.
    if (db_) sqlite3_close(db_);
}

bool Catalogue::exists(const std::filesystem::path& package) {
    const auto status = platform::lstatPath(package / relativePath);
    return status && status->isRegular();
}

bool Catalogue::isHeld(const std::string& sha256) const {
    std::lock_guard lock(serial_);
    Statement held(opened(db_), "SELECT EXISTS (SELECT 1 FROM originals WHERE sha256 = ?1)", Doing::reading);
    return held.text(1, lowercasedHex(sha256)).row().integer(0) != 0;
}

std::vector<StagingDeletion::LibraryFile> Catalogue::lookup(const std::string& sha256) const {
    std::lock_guard lock(serial_);
    Statement records(opened(db_), "SELECT id, relative_path, size, location FROM originals WHERE sha256 = ?1 ORDER BY id", Doing::reading);
    records.text(1, lowercasedHex(sha256));
    std::vector<StagingDeletion::LibraryFile> files;
    while (records.step()) {
        using File = StagingDeletion::LibraryFile;
        const File::Place place = records.isNull(3) ? File::Place(File::Managed{records.text(1)}) : File::Referenced{records.text(3), {}};
        files.push_back({records.uuid(0), place, records.integer(2), false});
    }
    return files;
}

void Catalogue::record(const Import& import, const std::vector<Original>& originals, const std::vector<SourceFile>& sources) {
    std::lock_guard lock(serial_);
    sqlite3* db = opened(db_);
    Transaction transaction(db, "BEGIN IMMEDIATE", Doing::changing);
    Statement(db,
              "INSERT INTO imports (id, started_at, finished_at, source, published, duplicates, failures) "
              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) "
              // An import finished again after a crash that came between recording it and ending it.
              "ON CONFLICT (id) DO UPDATE SET finished_at = excluded.finished_at, published = published + excluded.published, "
              "duplicates = excluded.duplicates, failures = excluded.failures",
              Doing::changing)
        .text(1, import.id.string())
        .real(2, import.startedAt.secondsSinceReferenceDate)
        .real(3, import.finishedAt.secondsSinceReferenceDate)
        .text(4, import.source)
        .integer(5, import.published)
        .integer(6, import.duplicates)
        .integer(7, import.failures)
        .execute();
    Statement add(db,
                  "INSERT INTO originals (id, relative_path, sha256, size, capture_date, capture_date_from_metadata, camera_make, "
                  "camera_model, pixel_width, pixel_height, kind, imported_at, import_id, file_name) "
                  "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)",
                  Doing::changing);
    for (const Original& original : originals) {
        const PhotoMetadata& metadata = original.metadata;
        add.text(1, original.id.string())
            .text(2, original.relativePath)
            .text(3, lowercasedHex(original.sha256))
            .integer(4, original.size)
            .real(5, metadata.captureDate.secondsSinceReferenceDate)
            .integer(6, metadata.captureDateFromMetadata ? 1 : 0)
            .text(7, metadata.cameraMake)
            .text(8, metadata.cameraModel)
            .integer(9, metadata.pixelWidth)
            .integer(10, metadata.pixelHeight)
            .text(11, rawValue(metadata.kind))
            .real(12, original.importedAt.secondsSinceReferenceDate)
            .text(13, import.id.string())
            .text(14, original.relativePath.substr(original.relativePath.rfind('/') + 1))
            .execute();
    }
    Statement source(db, "INSERT OR IGNORE INTO sources (file_name, size, modified, sha256) VALUES (?1, ?2, ?3, ?4)", Doing::changing);
    for (const SourceFile& file : sources)
        source.text(1, file.fileName).integer(2, file.size).integer(3, file.modified).text(4, lowercasedHex(file.sha256)).execute();
    Statement(db, "UPDATE meta SET revision = revision + 1", Doing::changing).execute();
    if (sqlite3_changes(db) != 1) fail(Doing::changing, "its revision is missing");
    transaction.commit();
}

Statistics Catalogue::statistics() const {
    std::lock_guard lock(serial_);
    sqlite3* db = opened(db_);
    // One snapshot, so the numbers agree with the revision they are reported with.
    Transaction snapshot(db, "BEGIN", Doing::reading);
    Statistics statistics;
    statistics.revision = readRevision(db);
    {
        Statement totals(db,
                         "SELECT COUNT(*), COALESCE(SUM(kind IN ('photo', 'raw')), 0), COALESCE(SUM(kind = 'raw'), 0), "
                         "COALESCE(SUM(kind = 'video'), 0), MIN(CASE WHEN kind <> 'other' THEN capture_date END), "
                         "MAX(CASE WHEN kind <> 'other' THEN capture_date END), COALESCE(SUM(size), 0), "
                         "COALESCE(SUM(location IS NULL), 0), COALESCE(SUM(CASE WHEN location IS NULL THEN size END), 0) FROM originals",
                         Doing::reading);
        totals.row();
        statistics.originals = totals.integer(0);
        statistics.photos = totals.integer(1);
        statistics.raws = totals.integer(2);
        statistics.videos = totals.integer(3);
        if (!totals.isNull(4)) statistics.earliestCapture = totals.date(4);
        if (!totals.isNull(5)) statistics.latestCapture = totals.date(5);
        statistics.bytes = totals.integer(6);
        statistics.copiedInside = totals.integer(7);
        statistics.copiedInsideBytes = totals.integer(8);
    }  // finished before the snapshot ends

    Statement cameras(db,
                      "SELECT camera_make, camera_model, COUNT(*) FROM originals WHERE camera_make <> '' OR camera_model <> '' "
                      "GROUP BY camera_make, camera_model",
                      Doing::reading);
    // Spellings that come to one name (a repeated make, a cut) count as one camera.
    std::map<std::string, std::int64_t> counts;
    while (cameras.step())
        if (std::string name = cameraName(cameras.text(0), cameras.text(1)); !name.empty()) counts[name] += cameras.integer(2);
    snapshot.commit();
    for (const auto& [name, count] : counts) statistics.cameras.emplace_back(name, count);
    std::stable_sort(statistics.cameras.begin(), statistics.cameras.end(),
                     [](const auto& a, const auto& b) { return a.count() > b.count(); });
    if (statistics.cameras.size() > Summary::maximumCameras)
        statistics.cameras.erase(statistics.cameras.begin() + Summary::maximumCameras, statistics.cameras.end());
    return statistics;
}

std::vector<Original> Catalogue::newest(std::size_t count, std::optional<MediaKind> kind) const {
    std::lock_guard lock(serial_);
    Statement rows(opened(db_),
                   std::string(kOriginalColumns) +
                       " FROM originals WHERE ?1 IS NULL OR kind = ?1 ORDER BY capture_date DESC, imported_at DESC, id LIMIT ?2",
                   Doing::reading);
    if (kind) rows.text(1, rawValue(*kind));
    rows.integer(2, static_cast<std::int64_t>(std::min<std::size_t>(count, std::numeric_limits<std::int64_t>::max())));
    return originalsFrom(rows);
}

std::vector<Original> Catalogue::originals() const {
    std::lock_guard lock(serial_);
    Statement rows(opened(db_), std::string(kOriginalColumns) + " FROM originals ORDER BY relative_path", Doing::reading);
    return originalsFrom(rows);
}

void Catalogue::relocate(const std::vector<Relocation>& moves) {
    std::lock_guard lock(serial_);
    sqlite3* db = opened(db_);
    Transaction transaction(db, "BEGIN IMMEDIATE", Doing::changing);
    Statement move(db, "UPDATE originals SET location = ?2 WHERE id = ?1", Doing::changing);
    for (const Relocation& relocation : moves) {
        if (relocation.location && !relocation.location->starts_with('/'))
            fail(Doing::changing, "a place outside the library must be a whole path");
        move.text(1, relocation.id.string()).optionalText(2, relocation.location).execute();
        if (sqlite3_changes(db) != 1) fail(Doing::changing, "the original " + relocation.id.string() + " is not catalogued");
    }
    Statement(db, "UPDATE meta SET revision = revision + 1", Doing::changing).execute();
    transaction.commit();
}

std::vector<Import> Catalogue::imports() const {
    std::lock_guard lock(serial_);
    Statement rows(opened(db_),
                   "SELECT id, started_at, finished_at, source, published, duplicates, failures FROM imports ORDER BY started_at, id",
                   Doing::reading);
    std::vector<Import> imports;
    while (rows.step())
        imports.push_back({rows.uuid(0), rows.date(1), rows.date(2), rows.text(3), rows.integer(4), rows.integer(5), rows.integer(6)});
    return imports;
}

bool Catalogue::holdsPath(const std::string& relativePath) const {
    std::lock_guard lock(serial_);
    Statement held(opened(db_), "SELECT EXISTS (SELECT 1 FROM originals WHERE relative_path = ?1)", Doing::reading);
    return held.text(1, relativePath).row().integer(0) != 0;
}

bool Catalogue::mayHold(const std::string& fileName, std::int64_t size) const {
    std::lock_guard lock(serial_);
    Statement held(opened(db_), "SELECT EXISTS (SELECT 1 FROM originals WHERE file_name = ?2 AND size = ?1)", Doing::reading);
    return held.integer(1, size).text(2, fileName).row().integer(0) != 0;
}

bool Catalogue::mayHold(const std::string& fileName, std::int64_t size, std::int64_t modified) const {
    std::lock_guard lock(serial_);
    Statement held(opened(db_),
                   "SELECT EXISTS (SELECT 1 FROM sources JOIN originals USING (sha256) "
                   "WHERE sources.file_name = ?1 AND sources.size = ?2 AND sources.modified = ?3)",
                   Doing::reading);
    return held.text(1, fileName).integer(2, size).integer(3, modified).row().integer(0) != 0;
}

void Catalogue::advanceRevision() {
    std::lock_guard lock(serial_);
    sqlite3* db = opened(db_);
    Transaction transaction(db, "BEGIN IMMEDIATE", Doing::changing);
    Statement(db, "UPDATE meta SET revision = revision + 1", Doing::changing).execute();
    transaction.commit();
}

std::int64_t Catalogue::revision() const {
    std::lock_guard lock(serial_);
    return readRevision(opened(db_));
}

void Catalogue::checkpointAndClose() {
    std::lock_guard lock(serial_);
    if (!db_) return;
    check(db_, sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr), Doing::changing);
    check(db_, sqlite3_close(db_), Doing::changing);
    db_ = nullptr;
}

}  // namespace oakenmere::catalogue
