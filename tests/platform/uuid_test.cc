#include "platform/uuid.h"

#include <gtest/gtest.h>
#include <vector>

namespace oakenmere::platform {
namespace {

constexpr std::string_view kUpper = "0F8A2B3C-4D5E-4F60-8172-93A4B5C6D7E8";

// Written and read back, lower case read and written upper case: LibraryInfoTest and LibraryPreviewSummaryDecoding.
TEST(Uuid, RandomOnesDifferAndOnlyTheHyphenatedFormIsRead) {
    EXPECT_NE(Uuid::random(), Uuid::random());

    std::string upper(kUpper), withNul(kUpper);
    withNul[35] = '\0';
    for (const std::string& text : std::vector<std::string>{std::string(), upper.substr(1), upper + "0", "{" + upper + "}",
                                                            "0F8A2B3C4D5E4F60817293A4B5C6D7E8",      // no hyphens
                                                            "0F8A2B3C-4D5E-4F60-8172-93A4B5C6D7EG",  // not hexadecimal
                                                            "0F8A2B3C-4D5E-4F60-8172_93A4B5C6D7E8",  // wrong separator
                                                            " F8A2B3C-4D5E-4F60-8172-93A4B5C6D7E8", withNul}) {
        EXPECT_FALSE(Uuid::parse(text)) << text;
    }
}

}  // namespace
}  // namespace oakenmere::platform
