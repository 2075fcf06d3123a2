// The contact-sheet decoder against pictures made to cost time and memory.
#include "platform/jpeg.h"

#include <gtest/gtest.h>

#include "support/jpeg_pictures.h"
#include "support/resource_bound.h"

namespace oakenmere::platform {
namespace {

using testing::finishesWithin;
using testing::jpegPicture;

// Many scans and a header claiming a huge picture go through the whole preview in HostilePackageTest.
TEST(Jpeg, HostilePicturesCostUnderASecondAndAHundredMegabytes) {
    struct Case {
        const char* name;
        Bytes bytes;
        int decodedWidth;  // 0: refused
    } cases[] = {{"too wide", jpegPicture(8200, 8, 0), 0},
                 {"progressive 8192x8192", jpegPicture(8192, 8192, -1), 0},
                 {"baseline 8192x8192, shown small", jpegPicture(8192, 8192, 0), 1024},
                 {"an ordinary progressive sheet", jpegPicture(830, 474, -1), 830}};
    for (const auto& c : cases) {
        EXPECT_TRUE(finishesWithin({.cpuSeconds = 1, .extraMegabytes = 100}, [&] {
            auto image = decodeJpeg(c.bytes);
            if ((image ? image->width : 0) != c.decodedWidth) throw std::runtime_error("unexpected outcome");
        })) << c.name;
    }
}

}  // namespace
}  // namespace oakenmere::platform
