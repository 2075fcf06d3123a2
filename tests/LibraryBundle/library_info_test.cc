#include "LibraryBundle/core/library_info.h"

#include <algorithm>
#include <gtest/gtest.h>

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

// Written binary, read back here and by python3's plistlib: every key, dates past 2069 and
// before 2001 to the microsecond, and no writer key when there is no writer.
TEST(LibraryInfo, EncodesAsABinaryPropertyListOthersRead) {
    TempDir dir;
    const std::pair<double, const char*> dates[] = {{4'102'488'000.25, "2100-01-01 12:00:00.250000"},
                                                    {-0.5, "1969-12-31 23:59:59.500000"}};
    for (const std::optional<std::string>& writer : {std::optional<std::string>("Oakenmere 1.4 (212)"), std::optional<std::string>()}) {
        for (const auto& [unixSeconds, shown] : dates) {
            LibraryInfo info = LibraryInfo::makeNew("Caf\xC3\xA9 \xF0\x9F\x93\xB7 2024", writer);
            info.createdAt = Date::fromUnixSeconds(unixSeconds);
            Bytes bytes = info.encode();
            EXPECT_EQ(asText(bytes).substr(0, 8), "bplist00");
            EXPECT_EQ(LibraryInfo::decodeCheckingVersion(bytes), info);
            std::string expected = "1 " + info.identifier.string() + " Caf\xC3\xA9 \xF0\x9F\x93\xB7 2024 " + shown + " " +
                                   writer.value_or("None") + "\n";
            EXPECT_EQ(python("import plistlib, sys; r = plistlib.load(open(sys.argv[1], 'rb'));"
                             "print(r['formatVersion'], r['identifier'], r['name'], r['createdAt'], r.get('formatWrittenBy'))",
                             {dir.writeFile("Info.plist", bytes)}),
                      expected);
        }
    }
}

// Records python3 wrote, binary and XML, read alike; an XML one cut short or with a value that
// does not fit its type is damaged, not a library with made-up values.
TEST(LibraryInfo, RecordsOthersWroteAreReadStrictly) {
    TempDir dir;
    python("import plistlib, sys, datetime\n"
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
        std::string damaged = xml;
        EXPECT_NE(damaged.find(from), std::string::npos) << from;
        return damaged.replace(damaged.find(from), from.size(), to);
    };
    for (const std::string& damaged : {xml.substr(0, xml.find("</plist>")), replaced("<integer>1</integer>", "<integer></integer>"),
                                       replaced("2100-01-01T12:00:00Z", "garbage")}) {
        EXPECT_EQ(decodeFailure(toBytes(damaged)), "invalidBundle") << damaged;
    }
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
        {"empty", Bytes{}, "invalidBundle"},
        {"only the magic", oakenmere::platform::toBytes("bplist00"), "invalidBundle"},
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
        {"no name", infoPlistBytes({.name = std::nullopt}), "invalidBundle"},
        {"no date", infoPlistBytes({.createdAt = std::nullopt}), "invalidBundle"},
        {"no version", infoPlistBytes({.formatVersion = std::nullopt}), "invalidBundle"},
        {"version as text", recordWith([](auto& p) { p.setString("formatVersion", "1"); }), "invalidBundle"},
        {"date as text", recordWith([](auto& p) { p.setString("createdAt", "2024-01-01"); }), "invalidBundle"},
        {"writer as a number", recordWith([](auto& p) { p.setInteger("formatWrittenBy", 1); }), "invalidBundle"},
        {"unknown keys", recordWith([](auto& p) { p.setString("colour", "green"); }), ""},
        {"truncated", [] {
             Bytes b = recordWith([](auto&) {});
             b.resize(b.size() / 2);
             return b;
         }(),
         "invalidBundle"},
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
    EXPECT_EQ(decodeFailure(bytes), "invalidBundle");
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
