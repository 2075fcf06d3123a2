#include "platform/printable.h"

#include <gtest/gtest.h>

#include "platform/json.h"

namespace oakenmere::platform {
namespace {

// A title sequence, a cleared screen, a carriage return and a right-to-left override are shown
// escaped by the program (OakenmereProgram.LibraryTextCannotSteerTheTerminal), a NUL by HostilePackageTest.
TEST(Printable, EscapesWhatWouldSteerATerminalAndKeepsTheRest) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"Caf\xC3\xA9 \xE2\x98\x85 \xF0\x9F\x93\xB7 \xE6\x9D\xB1\xE4\xBA\xAC \\", "Caf\xC3\xA9 \xE2\x98\x85 \xF0\x9F\x93\xB7 \xE6\x9D\xB1\xE4\xBA\xAC \\"},
        {"b\nc\td", "b\\nc\\td"},
        {"\x7F", "\\x7F"},
        {"\xC2\x9B" "31m", "\\u{009B}31m"},                        // C1 CSI
        {"\xE2\x81\xA6x\xE2\x81\xA9\xE2\x80\x8F", "\\u{2066}x\\u{2069}\\u{200F}"},
        {"Caf\xE9!", "Caf\\xE9!"},
        {"\xE2\x98", "\\xE2\\x98"},                                 // cut in the middle of a character
        {"", ""}
    };
    // clang-format on
    for (const auto& [text, shown] : cases) EXPECT_EQ(printable(text), shown) << shown;
}

TEST(Printable, JsonStaysTheSameJsonWithNothingThatSteers) {
    const Json value = {{"name", "gpj.\u202Eexe \u009B31m \x1B[2J \x7F Caf\xC3\xA9"}};
    const std::string shown = printableJson(encodePrettyJson(value));
    EXPECT_EQ(parseJson(toBytes(shown)), value);
    for (const char* raw : {"\xE2\x80\xAE", "\xC2\x9B", "\x1B", "\x7F"}) EXPECT_EQ(shown.find(raw), std::string::npos) << shown;
    EXPECT_NE(shown.find("Caf\xC3\xA9"), std::string::npos) << shown;
}

}  // namespace
}  // namespace oakenmere::platform
