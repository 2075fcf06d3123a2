#pragma once
// The identity record "Info.plist" inside every library package: name, permanent identifier,
// creation date, package format version and the build that wrote it. It is written once, when
// a library is created, as a binary property list, and never rewritten. Its presence marks a
// completely created package.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/bytes.h"
#include "platform/date.h"
#include "platform/uuid.h"

namespace oakenmere::LibraryBundle {

using platform::Date;
using platform::Uuid;

// The two fields read first, so that a record of a later format, whose other keys may have
// changed shape, is reported as a version problem and not as a damaged package.
struct LibraryFormatHeader {
    std::int64_t formatVersion = 0;
    std::optional<std::string> formatWrittenBy;

    // Fails (DecodingError) only when there is no integer "formatVersion".
    static LibraryFormatHeader decode(platform::ByteView bytes);
};

struct LibraryInfo {
    static constexpr std::int64_t currentFormatVersion = 1;
    static constexpr const char* fileName = "Info.plist";
    // Identity records are small; anything larger is not one.
    static constexpr std::int64_t byteLimit = 65'536;

    std::int64_t formatVersion = currentFormatVersion;
    Uuid identifier;
    std::string name;
    Date createdAt;
    std::optional<std::string> formatWrittenBy;

    // A new record for a library about to be made: version 1, a fresh identifier, now.
    static LibraryInfo makeNew(std::string name, std::optional<std::string> buildName);

    platform::Bytes encode() const;  // binary property list, "formatWrittenBy" left out when absent
    // Binary or XML property list. Fails with DecodingError when a key is missing or has the
    // wrong type, or the identifier is not a UUID. The version is not checked here.
    static LibraryInfo decode(platform::ByteView bytes);

    // The whole check made when a library is opened: the header first (unsupportedVersion for
    // any version but 1), then the full record (invalidBundle when it does not decode).
    static LibraryInfo decodeCheckingVersion(platform::ByteView bytes);

    bool operator==(const LibraryInfo&) const = default;
};

// The part of the record every reader needs (the preview reads no more): the version, the
// identifier and the name, with the same key names and types as the full record.
struct LibraryIdentity {
    std::int64_t formatVersion;
    Uuid identifier;
    std::string name;

    static LibraryIdentity decode(platform::ByteView bytes);
};

}  // namespace oakenmere::LibraryBundle
