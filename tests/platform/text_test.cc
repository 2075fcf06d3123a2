#include "platform/text.h"

#include <gtest/gtest.h>

namespace oakenmere::platform {
namespace {

std::string repeated(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

TEST(Text, CountsUserPerceivedCharacters) {
    // Each is one character on screen, most of several code points (more: LibraryPreviewSummary.Limits).
    for (std::string_view character : {"a", "\xC3\xA9", "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
                                       "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", "\r\n"}) {
        std::string text = repeated(character, 80);
        EXPECT_EQ(graphemeCount(text), 80u) << character;
        EXPECT_TRUE(hasAtMostGraphemes(text, 80)) << character;
        EXPECT_FALSE(hasAtMostGraphemes(text + std::string(character), 80)) << character;
        EXPECT_EQ(graphemeClusters(text).front(), character);
    }
    EXPECT_TRUE(hasAtMostGraphemes("", 0));
}

TEST(Text, InvalidUtf8IsCountedNotFatal) {
    std::string broken = "ab\xFF\xC3\xE2\x82";
    EXPECT_GE(graphemeCount(broken), 3u);
    EXPECT_LE(graphemeCount(broken), broken.size());
    EXPECT_FALSE(hasAtMostGraphemes(broken + repeated("\xFF", 80), 80));
    EXPECT_FALSE(graphemeClusters(broken).empty());
    EXPECT_FALSE(lowercased(broken).empty());
}

// Wide characters take two columns and are never split to make room for the ellipsis.
TEST(Text, EllipsisKeepsWholeCharactersOnEitherSide) {
    const std::string text = "\u5199\u771F/IMG_0001.CR3";  // 写真/IMG_0001.CR3
    EXPECT_EQ(withEllipsis(text, 4, Keep::start), "\u5199\u2026");
    EXPECT_EQ(withEllipsis(text, 8, Keep::end), "\u2026001.CR3");
    EXPECT_EQ(withEllipsis(text, 2, Keep::start), "\u2026");
}

}  // namespace
}  // namespace oakenmere::platform
