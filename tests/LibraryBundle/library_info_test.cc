#include "LibraryBundle/core/library_info.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <tuple>
#include <variant>

#include "platform/property_list.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

using oakenmere::platform::asBytes;
using oakenmere::platform::asText;
using oakenmere::platform::Bytes;
using oakenmere::platform::PropertyListDictionary;
using oakenmere::platform::toBytes;
using namespace oakenmere::testing;

// A valid record with keys set to values of whatever type.
Bytes recordWith(std::initializer_list<std::pair<const char*, std::variant<std::int64_t, std::string>>> changes) {
    PropertyListDictionary plist = PropertyListDictionary::parse(infoPlistBytes({}));
    for (const auto& [key, value] : changes) {
        if (auto text = std::get_if<std::string>(&value)) plist.setString(key, *text);
        else plist.setInteger(key, std::get<std::int64_t>(value));
    }
    return plist.binary();
}

std::string decodeFailure(const Bytes& bytes) {
    return failureOf([&] { LibraryInfo::decodeCheckingVersion(bytes); });
}

// Written binary, read back here and by python3's plistlib: every key, dates past 2069 and
// before 2001 to the microsecond, and no writer key when there is no writer.
TEST(LibraryInfo, EncodesAsABinaryPropertyListOthersRead) {
    TempDir dir;
    const std::tuple<std::optional<std::string>, double, const char*> cases[] = {
        {"Oakenmere 1.4 (212)", 4'102'488'000.25, "2100-01-01 12:00:00.250000"}, {std::nullopt, -0.5, "1969-12-31 23:59:59.500000"}};
    for (const auto& [writer, unixSeconds, shown] : cases) {
        LibraryInfo info = LibraryInfo::makeNew("Caf\xC3\xA9 \xF0\x9F\x93\xB7 2024", writer);
        info.createdAt = Date::fromUnixSeconds(unixSeconds);
        Bytes bytes = info.encode();
        EXPECT_EQ(asText(bytes).substr(0, 8), "bplist00");
        EXPECT_EQ(LibraryInfo::decodeCheckingVersion(bytes), info);
        std::string expected =
            "1 " + info.identifier.string() + " Caf\xC3\xA9 \xF0\x9F\x93\xB7 2024 " + shown + " " + writer.value_or("None") + "\n";
        EXPECT_EQ(python("import plistlib, sys; r = plistlib.load(open(sys.argv[1], 'rb'));"
                         "print(r['formatVersion'], r['identifier'], r['name'], r['createdAt'], r.get('formatWrittenBy'))",
                         {dir.writeFile("Info.plist", bytes)}),
                  expected);
    }
}

// Records python3 wrote, binary and XML, read alike; an XML one cut short or with a value that
// does not fit its type is damaged, not a library with made-up values.
TEST(LibraryInfo, RecordsOthersWroteAreReadStrictly) {
    TempDir dir;
    python(
        "import plistlib, sys, datetime\n"
        "r = dict(formatVersion=1, identifier='6f9619ff-8b86-d011-b42d-00c04fc964ff', name='Caf\u00e9 <&> \U0001F4F7',\n"
        "         createdAt=datetime.datetime(2100, 1, 1, 12), formatWrittenBy='Oakenmere 2.0',\n"
        "         other=[1.5, True, b'bytes', {'k': 'v'}])\n"
        "for name, fmt in (('binary', plistlib.FMT_BINARY), ('xml', plistlib.FMT_XML)):\n"
        "    open(sys.argv[1] + '/' + name, 'wb').write(plistlib.dumps(r, fmt=fmt))\n",
        {dir.path()});
    const std::string xml = dir.readFile("xml");
    for (const std::string& bytes : {dir.readFile("binary"), xml}) {
        LibraryInfo read = LibraryInfo::decodeCheckingVersion(asBytes(bytes));
        EXPECT_EQ(read.identifier.string(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
        EXPECT_EQ(read.name, "Caf\xC3\xA9 <&> \xF0\x9F\x93\xB7");
        EXPECT_EQ(read.createdAt, Date::fromUnixSeconds(4'102'488'000));
        EXPECT_EQ(read.formatWrittenBy, "Oakenmere 2.0");
    }
    auto replaced = [&](const std::string& from, const std::string& to) {
        return std::string(xml).replace(xml.find(from), from.size(), to);
    };
    for (const std::string& damaged : {xml.substr(0, xml.find("</plist>")), replaced("<integer>1</integer>", "<integer></integer>"),
                                       replaced("2100-01-01T12:00:00Z", "garbage")}) {
        EXPECT_EQ(decodeFailure(toBytes(damaged)), "invalidBundle") << damaged;
    }
}

// Damage is refused as the shape check finds it (BinaryPlistShapeTest); here, what each key may hold.
TEST(LibraryInfo, TheVersionIsCheckedBeforeTheRestOfTheRecord) {
    const std::pair<Bytes, const char*> cases[] = {
        {recordWith({{"formatVersion", 2}, {"name", 42}, {"formatWrittenBy", "Oakenmere 3.0"}}), "unsupportedVersion 2 by Oakenmere 3.0"},
        {recordWith({{"formatVersion", 0}}), "unsupportedVersion 0"},
        {recordWith({{"formatVersion", -1}}), "unsupportedVersion -1"},
        {recordWith({{"formatVersion", 7}, {"formatWrittenBy", 7}}), "unsupportedVersion 7"},  // a writer that is no text is not named
        {infoPlistBytes({.formatVersion = 3, .identifier = std::nullopt, .name = std::nullopt, .createdAt = std::nullopt}),
         "unsupportedVersion 3"},
        {Bytes{}, "invalidBundle"},
        {infoPlistBytes({.identifier = std::nullopt}), "invalidBundle"},
        {recordWith({{"identifier", "not-a-uuid"}}), "invalidBundle"},
        {infoPlistBytes({.name = std::nullopt}), "invalidBundle"},
        {infoPlistBytes({.createdAt = std::nullopt}), "invalidBundle"},
        {infoPlistBytes({.formatVersion = std::nullopt}), "invalidBundle"},
        {recordWith({{"formatVersion", "1"}}), "invalidBundle"},
        {recordWith({{"createdAt", "2024-01-01"}}), "invalidBundle"},
        {recordWith({{"formatWrittenBy", 1}}), "invalidBundle"},
        {recordWith({{"colour", "green"}}), ""},  // unknown keys are read past
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(decodeFailure(cases[i].first), cases[i].second) << "case " << i;
}

// Binary property lists keep one-byte strings as raw bytes; bytes that are not UTF-8 must not
// pass as a name.
TEST(LibraryInfo, ANameThatIsNotUtf8IsRefused) {
    Bytes bytes = recordWith({{"name", "NAMEnameNAME"}});
    std::string_view marker = "NAMEnameNAME";
    auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    ASSERT_NE(at, bytes.end());
    at[4] = 0xC3;  // a lead byte followed by an ASCII letter
    at[5] = 0x28;
    EXPECT_EQ(decodeFailure(bytes), "invalidBundle");
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
