#pragma once
// What the package layer takes from the application that hosts it, in one place. The host owns
// the catalogue, the user interface and the platform's diagnostic service; the package layer
// only receives these values and callbacks and relies on the meanings written here. Any host
// that supplies them with these meanings drives every part of the layer.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/bytes.h"
#include "platform/date.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle::Host {

using platform::Bytes;
using platform::Date;
using platform::Uuid;

// The application's earlier bundle identifier: the subsystem the package layer logs under.
inline constexpr const char* logSubsystem = "com.brightloft.Brightloft";

// Given to LibraryBundleStore: a short label of the application build, written unchanged as
// the writer of new identity records and shown by unsupportedVersion messages. May be absent.
using BuildName = std::optional<std::string>;

// Bookmark data of folders and the import options: stored and handed back unchanged, never
// interpreted by the package layer.
using OpaqueBytes = Bytes;

// Folder imports. `isHeld(sha256)` answers whether the library already holds content with this
// lower-case SHA-256; it may throw, and any failure but cancellation counts as not held.
// `progress(bytes)` receives a running byte total. Both are called one at a time.
using IsHeld = std::function<bool(const std::string& sha256)>;
using Progress = std::function<void(std::int64_t bytes)>;

// Staging deletion. `lookup(sha256)` returns the catalogue's records of that content; it may be
// called from any thread, and twice in a row to confirm an answer.
struct LibraryFile {
    struct Managed {
        std::string path;  // relative to the package root
        bool operator==(const Managed&) const = default;
    };
    struct Referenced {
        std::string path;  // absolute
        std::optional<Bytes> bookmark;
        bool operator==(const Referenced&) const = default;
    };
    struct Elsewhere {
        bool operator==(const Elsewhere&) const = default;
    };
    using Place = std::variant<Managed, Referenced, Elsewhere>;

    Uuid id;
    Place place;
    std::optional<std::int64_t> byteCount;
    bool isInRecentlyRemoved = false;
    bool operator==(const LibraryFile&) const = default;
};
using CatalogueLookup = std::function<std::vector<LibraryFile>(const std::string& sha256)>;

// Relocation: one original the catalogue wants relinked. The host applies the matches itself.
struct RelocationOriginal {
    Uuid id;
    std::filesystem::path sourceURL;  // where the catalogue last knew the file
    std::string sha256;               // compared without regard to case
    bool operator==(const RelocationOriginal&) const = default;
};

// Identity migration: the earlier and current data folders, the earlier bundle identifier, the
// current settings domain, the user's settings (a JSON file under $XDG_CONFIG_HOME standing in
// for the platform's user defaults) and a clock. The list of recent libraries stays the host's.
struct MigrationContext {
    std::filesystem::path earlierDataFolder;
    std::filesystem::path currentDataFolder;
    std::string earlierBundleIdentifier;
    std::string currentDefaultsDomain;
    std::filesystem::path userDefaults;
    std::function<Date()> now;
};

// Crash report keeping: where private data is to be removed from, and how delivery of the
// platform's diagnostic reports (JSON bytes, each with its date) is started and stopped.
struct DiagnosticsContext {
    std::string home;
    std::string userName;
    std::function<void()> subscribe;
    std::function<void()> unsubscribe;
};
struct DiagnosticPayloads {
    std::vector<Bytes> payloads;
    Date date;
};

}  // namespace oakenmere::LibraryBundle::Host
