// The contact-sheet decoder against pictures made to cost time and memory.
#include "platform/jpeg.h"

#include <gtest/gtest.h>

#include "support/JpegPictures.h"
#include "support/ResourceBound.h"

namespace oakenmere::platform {
namespace {

using testing::finishesWithin;
using testing::jpegClaiming;
using testing::jpegPicture;

TEST(Jpeg, HostilePicturesCostUnderASecondAndAHundredMegabytes) {
    struct Case {
        const char* name;
        Bytes bytes;
        int decodedWidth;  // 0: refused
    } cases[] = {
        {"many scans", jpegPicture(512, 512, 200), 0},
        {"a header claiming 8192x8192", jpegClaiming(jpegPicture(640, 480, 0), 8192, 8192), 0},
        {"too wide", jpegPicture(8200, 8, 0), 0},
        {"progressive 8192x8192", jpegPicture(8192, 8192, -1), 0},
        {"baseline 8192x8192, shown small", jpegPicture(8192, 8192, 0), 1024},
        {"an ordinary progressive sheet", jpegPicture(830, 474, -1), 830},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(finishesWithin({.cpuSeconds = 1, .extraMegabytes = 100}, [&] {
            auto image = decodeJpeg(c.bytes);
            if ((image ? image->width : 0) != c.decodedWidth) throw std::runtime_error("unexpected outcome");
        })) << c.name;
    }
}

TEST(Jpeg, RefusesWhatIsNotAWholePicture) {
    Bytes whole = jpegPicture(64, 48, 0);
    ASSERT_TRUE(decodeJpeg(whole));
    EXPECT_EQ(decodeJpeg(whole)->height, 48);
    EXPECT_FALSE(decodeJpeg(Bytes(whole.begin(), whole.end() - 40)));
    EXPECT_FALSE(decodeJpeg(Bytes{0xFF, 0xD8, 0xFF}));
    EXPECT_FALSE(decodeJpeg(Bytes{}));
}

}  // namespace
}  // namespace oakenmere::platform
