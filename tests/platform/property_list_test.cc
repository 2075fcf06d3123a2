#include "platform/property_list.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/decoding_error.h"

namespace oakenmere::platform {
namespace {

// Members written by hand, wrapped as Apple's and libplist's writers wrap them.
std::string xmlWith(const std::string& members) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" +
           members + "\n</dict>\n</plist>\n";
}

PropertyListDictionary parsed(std::string_view text) { return PropertyListDictionary::parse(asBytes(text)); }

// Binary dates keep microseconds and their full range: before 2001, where libplist hands back
// the fraction as a positive number, and after 2069, past its 32-bit seconds. All go in one list,
// equal ones too, so that no date takes another's place.
TEST(PropertyList, BinaryDatesKeepMicrosecondsAndTheirRange) {
    const double dates[] = {700'000'000.25, 0.5, -0.25, -1.5, -700'000'000.75, 3'124'137'600.125, 9e12, 9e12};
    PropertyListDictionary plist;
    for (std::size_t i = 0; i < std::size(dates); ++i) plist.setDate(std::to_string(i).c_str(), Date{dates[i]});
    auto read = PropertyListDictionary::parse(plist.binary());
    for (std::size_t i = 0; i < std::size(dates); ++i) EXPECT_EQ(read.date(std::to_string(i).c_str()), Date{dates[i]}) << dates[i];
}

// A date of NaN or infinity (eight 0xFF bytes, as a damaged file may hold) names no moment.
TEST(PropertyList, BinaryDatesThatNameNoMomentAreRefused) {
    PropertyListDictionary plist;
    plist.setDate("d", Date{1.0});
    const Bytes good = plist.binary();
    const std::uint8_t one[] = {0x33, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
    const auto at = std::search(good.begin(), good.end(), std::begin(one), std::end(one)) - good.begin();
    ASSERT_LT(static_cast<std::size_t>(at), good.size());
    for (const std::uint64_t bits : {0xFFFF'FFFF'FFFF'FFFFull, 0x7FF0'0000'0000'0000ull, 0xFFF0'0000'0000'0000ull}) {
        Bytes bad = good;
        for (int i = 0; i < 8; ++i) bad[at + 1 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
        EXPECT_THROW((void)PropertyListDictionary::parse(bad).date("d"), DecodingError) << std::hex << bits;
    }
}

TEST(PropertyList, XmlValuesAreReadAsWritten) {
    auto only = [](const std::string& member) { return parsed(xmlWith(member)); };
    EXPECT_EQ(only("<key>n</key><integer>-42</integer>").integer("n"), -42);
    EXPECT_EQ(only("<key>n</key><integer>+7</integer>").integer("n"), 7);
    EXPECT_EQ(only("<key>n</key><integer>18446744073709551615</integer>").integer("n"), -1);  // the same 64 bits
    EXPECT_EQ(only("<!-- a comment --><key>s</key><string>Caf&#xE9; &amp; &lt;b&gt;</string>").string("s"), "Caf\xC3\xA9 & <b>");
    EXPECT_EQ(only("<key>s</key><string><![CDATA[a<b]]></string>").string("s"), "a<b");
    EXPECT_EQ(only("<key>s</key><string/>").string("s"), "");
    EXPECT_EQ(only("<key>d</key><date>1904-02-29T23:59:59Z</date>").date("d"), Date::fromUnixSeconds(-2'077'660'801));
    // Other kinds are read past (python3's own: LibraryInfoTest), with text python3 never writes.
    EXPECT_THROW(only("<key>x</key><array><real>-1.5e3</real><real>.5</real><real>nan</real><false/>"
                      "<data>QUJD\n\tREVG</data><array/></array>")
                     .integer("x"),
                 DecodingError);
}

// A damaged list is refused whole: it is not well formed, not complete, or a value's text does
// not fit its type (a list cut short, an empty integer: LibraryInfoTest; bad base64: Base64Test).
TEST(PropertyList, DamagedXmlIsRefused) {
    const std::string whole = xmlWith("<key>n</key><integer>1</integer>");
    // clang-format off
    std::vector<std::string> cases = {
        whole.substr(0, whole.find("</dict>")), whole + "<plist/>",
        R"(<!DOCTYPE plist [<!ENTITY e "x">]><plist><dict><key>a</key><string>&e;</string></dict></plist>)",
        R"(<plist><dict/><dict/></plist>)", R"(<plist version="1.0"><array><integer>1</integer></array></plist>)",
        R"(<list><dict/></list>)", "{\"formatVersion\": 1}", ""
    };
    for (const char* members : {"<key>n</key><integer> 1</integer>",
                                "<key>n</key><integer>1.0</integer>", "<key>n</key><integer>0x10</integer>",
                                "<key>n</key><integer>-</integer>", "<key>n</key><integer>99999999999999999999</integer>",
                                "<key>n</key><integer>-9223372036854775809</integer>", "<key>d</key><date>1970</date>",
                                "<key>d</key><date>2023-02-29T00:00:00Z</date>",
                                "<key>d</key><date>2024-01-01T24:00:00Z</date>", "<key>d</key><date>2024-01-01 00:00:00Z</date>",
                                "<key>d</key><date>2024-01-01T00:00:00</date>", "<key>r</key><real>1.2.3</real>",
                                "<key>r</key><real>e5</real>", "<key>b</key><data>QU!D</data>", "<key>t</key><true>yes</true>",
                                "<key>a</key>",
                                "<integer>1</integer><key>a</key>", "<key>a</key><integer>1</integer><key>a</key><integer>2</integer>",
                                "<key>a</key><foo/>", "<key>a</key><string>x<b/></string>", "<key>a</key><array>text</array>",
                                "stray<key>a</key><integer>1</integer>"})
        // clang-format on
        cases.push_back(xmlWith(members));
    for (const std::string& text : cases) EXPECT_THROW(parsed(text), DecodingError) << text;
    EXPECT_NO_THROW(parsed(whole));
}

}  // namespace
}  // namespace oakenmere::platform
