#include "platform/base64.h"

#include <gtest/gtest.h>

namespace oakenmere::platform {
namespace {

TEST(Base64, RoundTripsEveryPaddingLengthAndRefusesNonCanonicalText) {
    Bytes bytes;
    for (std::uint8_t b : {0x00, 0xFF, 0xFB, 0x10, 0x80, 0x3E, 0x3F}) {
        bytes.push_back(b);
        std::string text = base64Encode(bytes);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(base64Decode(text), bytes) << text;
    }
    EXPECT_EQ(base64Encode(asBytes("abc?>")), "YWJjPz4=");
    EXPECT_EQ(base64Decode(""), Bytes());
    for (std::string_view text : {"QQ", "QQ=", "QR==", "QUJ=", " QQ=", "QQ==\n", "Q===", "====", "QQ=A", "Pz4-", "Pz4_", "YW J"}) {
        EXPECT_FALSE(base64Decode(text)) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace oakenmere::platform
