#include "LibraryBundle/core/LibraryInfo.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

#include "platform/decoding_error.h"
#include "platform/property_list.h"
#include "support/Failure.h"
#include "support/TempDir.h"

namespace LibraryBundle {
namespace {

using oakenmere::platform::asText;
using oakenmere::platform::Bytes;
using oakenmere::platform::PropertyListDictionary;
using oakenmere::platform::toBytes;
using namespace oakenmere::testing;

long long microseconds(Date date) { return std::llround(date.secondsSinceReferenceDate * 1e6); }

void expectSameRecord(const LibraryInfo& read, const LibraryInfo& written) {
    EXPECT_EQ(read.formatVersion, written.formatVersion);
    EXPECT_EQ(read.identifier, written.identifier);
    EXPECT_EQ(read.name, written.name);
    EXPECT_EQ(microseconds(read.createdAt), microseconds(written.createdAt));
    EXPECT_EQ(read.formatWrittenBy, written.formatWrittenBy);
}

// A valid record with one key changed (or left out, with nullopt) by `edit`.
Bytes recordWith(const std::function<void(PropertyListDictionary&)>& edit) {
    PropertyListDictionary plist;
    plist.setInteger("formatVersion", 1);
    plist.setString("identifier", Uuid::random().string());
    plist.setString("name", "Holiday");
    plist.setDate("createdAt", Date{700'000'000});
    edit(plist);
    return plist.binary();
}

std::string decodeFailure(const Bytes& bytes) {
    return failureOf([&] { LibraryInfo::decodeCheckingVersion(bytes); });
}

TEST(LibraryInfo, EncodesAsABinaryPropertyListAndReadsBack) {
    for (const std::optional<std::string>& writer : {std::optional<std::string>("Oakenmere 1.4 (212)"), std::optional<std::string>()}) {
        for (double seconds : {726'000'000.654321, -3.25, 0.0}) {
            LibraryInfo info = LibraryInfo::makeNew("Caf\xC3\xA9 2024", writer);
            info.createdAt = Date{seconds};
            Bytes bytes = info.encode();
            EXPECT_EQ(asText(bytes).substr(0, 8), "bplist00");
            expectSameRecord(LibraryInfo::decodeCheckingVersion(bytes), info);

            auto plist = PropertyListDictionary::parse(bytes);
            EXPECT_EQ(plist.integer("formatVersion"), 1);
            EXPECT_EQ(plist.string("identifier"), info.identifier.string());
            EXPECT_EQ(plist.string("formatWrittenBy"), writer);  // no key at all when there is no writer
        }
    }
    EXPECT_EQ(LibraryInfo::makeNew("a", std::nullopt).formatVersion, 1);
    EXPECT_NE(LibraryInfo::makeNew("a", std::nullopt).identifier, LibraryInfo::makeNew("a", std::nullopt).identifier);
}

TEST(LibraryInfo, XmlRecordsReadLikeBinaryOnes) {
    // Whole seconds: the XML encoding of a date has no fraction.
    PackageInfo keys{.identifier = "6f9619ff-8b86-d011-b42d-00c04fc964ff", .createdAt = Date{700'000'000},
                     .formatWrittenBy = "Oakenmere 1.0"};
    LibraryInfo binary = LibraryInfo::decodeCheckingVersion(infoPlistBytes(keys));
    keys.xml = true;
    Bytes xml = infoPlistBytes(keys);
    ASSERT_EQ(asText(xml).substr(0, 5), "<?xml");
    LibraryInfo read = LibraryInfo::decodeCheckingVersion(xml);
    expectSameRecord(read, binary);
    EXPECT_EQ(read.identifier.string(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(read.name, "Holiday");
}

TEST(LibraryInfo, TheVersionIsCheckedBeforeTheRestOfTheRecord) {
    auto version = [](std::int64_t v) { return [v](PropertyListDictionary& p) { p.setInteger("formatVersion", v); }; };
    const struct {
        const char* what;
        Bytes bytes;
        const char* failure;
    } cases[] = {
        {"later format, name reshaped", recordWith([](auto& p) {
             p.setInteger("formatVersion", 2);
             p.setInteger("name", 42);
             p.setString("formatWrittenBy", "Oakenmere 3.0");
         }),
         "unsupportedVersion 2 by Oakenmere 3.0"},
        {"earlier format", recordWith(version(0)), "unsupportedVersion 0"},
        {"negative format", recordWith(version(-1)), "unsupportedVersion -1"},
        {"later format, writer of another type", recordWith([](auto& p) {
             p.setInteger("formatVersion", 7);
             p.setInteger("formatWrittenBy", 7);
         }),
         "unsupportedVersion 7"},
        {"later format, nothing else",
         infoPlistBytes({.formatVersion = 3, .identifier = std::nullopt, .name = std::nullopt, .createdAt = std::nullopt}),
         "unsupportedVersion 3"},
        {"no identifier", infoPlistBytes({.identifier = std::nullopt}), "invalidBundle"},
        {"identifier not a UUID", recordWith([](auto& p) { p.setString("identifier", "not-a-uuid"); }), "invalidBundle"},
        {"identifier without hyphens", recordWith([](auto& p) { p.setString("identifier", "6F9619FF8B86D011B42D00C04FC964FF"); }),
         "invalidBundle"},
        {"no name", infoPlistBytes({.name = std::nullopt}), "invalidBundle"},
        {"no date", infoPlistBytes({.createdAt = std::nullopt}), "invalidBundle"},
        {"no version", infoPlistBytes({.formatVersion = std::nullopt}), "invalidBundle"},
        {"version as text", recordWith([](auto& p) { p.setString("formatVersion", "1"); }), "invalidBundle"},
        {"date as text", recordWith([](auto& p) { p.setString("createdAt", "2024-01-01"); }), "invalidBundle"},
        {"writer as a number", recordWith([](auto& p) { p.setInteger("formatWrittenBy", 1); }), "invalidBundle"},
        {"unknown keys", recordWith([](auto& p) { p.setString("colour", "green"); }), ""},
        {"empty", Bytes{}, "invalidBundle"},
        {"only the magic", toBytes("bplist00"), "invalidBundle"},
        {"truncated", [] {
             Bytes b = recordWith([](auto&) {});
             b.resize(b.size() / 2);
             return b;
         }(),
         "invalidBundle"},
        {"an array", toBytes(R"(<?xml version="1.0"?><plist version="1.0"><array/></plist>)"), "invalidBundle"},
        {"not a property list", toBytes("{\"formatVersion\": 1}"), "invalidBundle"},
    };
    for (const auto& c : cases) EXPECT_EQ(decodeFailure(c.bytes), c.failure) << c.what;
}

// Binary property lists keep one-byte strings as raw bytes; bytes that are not UTF-8 must not
// pass as a name.
TEST(LibraryInfo, ANameThatIsNotUtf8IsRefused) {
    Bytes bytes = recordWith([](auto& p) { p.setString("name", "NAMEnameNAME"); });
    std::string_view marker = "NAMEnameNAME";
    auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    ASSERT_NE(at, bytes.end());
    at[4] = 0xC3;  // a lead byte followed by an ASCII letter
    at[5] = 0x28;
    // The list itself still reads; only the name is refused.
    EXPECT_THROW(PropertyListDictionary::parse(bytes).string("name"), oakenmere::platform::DecodingError);
    EXPECT_EQ(decodeFailure(bytes), "invalidBundle");
}

}  // namespace
}  // namespace LibraryBundle
