#include "LibraryBundle/core/library_info.h"

#include <cmath>

#include "LibraryBundle/core/errors.h"
#include "platform/decoding_error.h"
#include "platform/property_list.h"

namespace oakenmere::LibraryBundle {

namespace {

constexpr const char* kFormatVersion = "formatVersion";
constexpr const char* kIdentifier = "identifier";
constexpr const char* kName = "name";
constexpr const char* kCreatedAt = "createdAt";
constexpr const char* kFormatWrittenBy = "formatWrittenBy";

template <typename T>
T required(std::optional<T> value, const char* key) {
    if (!value) throw platform::DecodingError(std::string("no value for key \u201C") + key + "\u201D");
    return std::move(*value);
}

LibraryIdentity identityOf(const platform::PropertyListDictionary& plist) {
    auto version = required(plist.integer(kFormatVersion), kFormatVersion);
    auto identifierText = required(plist.string(kIdentifier), kIdentifier);
    auto name = required(plist.string(kName), kName);
    auto identifier = Uuid::parse(identifierText);
    if (!identifier) throw platform::DecodingError("the value for key \u201Cidentifier\u201D is not a UUID");
    return LibraryIdentity{version, *identifier, std::move(name)};
}

}  // namespace

LibraryFormatHeader LibraryFormatHeader::decode(platform::ByteView bytes) {
    auto plist = platform::PropertyListDictionary::parse(bytes);
    LibraryFormatHeader header;
    header.formatVersion = required(plist.integer(kFormatVersion), kFormatVersion);
    // A writer of another shape is no reason to hide the version.
    try {
        header.formatWrittenBy = plist.string(kFormatWrittenBy);
    } catch (const platform::DecodingError&) {}
    return header;
}

LibraryIdentity LibraryIdentity::decode(platform::ByteView bytes) { return identityOf(platform::PropertyListDictionary::parse(bytes)); }

LibraryInfo LibraryInfo::makeNew(std::string name, std::optional<std::string> buildName) {
    // The record keeps whole microseconds; the descriptor made now must equal a later reading.
    Date now = Date::now();
    now.secondsSinceReferenceDate = std::round(now.secondsSinceReferenceDate * 1e6) / 1e6;
    return LibraryInfo{currentFormatVersion, Uuid::random(), std::move(name), now, std::move(buildName)};
}

platform::Bytes LibraryInfo::encode() const {
    platform::PropertyListDictionary plist;
    plist.setInteger(kFormatVersion, formatVersion);
    plist.setString(kIdentifier, identifier.string());
    plist.setString(kName, name);
    plist.setDate(kCreatedAt, createdAt);
    if (formatWrittenBy) plist.setString(kFormatWrittenBy, *formatWrittenBy);
    return plist.binary();
}

LibraryInfo LibraryInfo::decode(platform::ByteView bytes) {
    auto plist = platform::PropertyListDictionary::parse(bytes);
    LibraryIdentity identity = identityOf(plist);
    return LibraryInfo{identity.formatVersion, identity.identifier, std::move(identity.name), required(plist.date(kCreatedAt), kCreatedAt),
                       plist.string(kFormatWrittenBy)};
}

LibraryInfo LibraryInfo::decodeCheckingVersion(platform::ByteView bytes) {
    std::optional<LibraryFormatHeader> header;
    try {
        header = LibraryFormatHeader::decode(bytes);
    } catch (const platform::DecodingError&) {
        // The full decode below decides.
    }
    if (header && header->formatVersion != currentFormatVersion)
        throw LibraryBundleError::unsupportedVersion(header->formatVersion, header->formatWrittenBy);
    LibraryInfo info;
    try {
        info = decode(bytes);
    } catch (const platform::DecodingError&) {
        throw LibraryBundleError::invalidBundle();
    }
    if (info.formatVersion != currentFormatVersion) throw LibraryBundleError::unsupportedVersion(info.formatVersion, info.formatWrittenBy);
    return info;
}

}  // namespace oakenmere::LibraryBundle
