// The contact-sheet decoder against pictures made to cost time and memory.
#include "platform/jpeg.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "support/ResourceBound.h"

namespace oakenmere::platform {
namespace {

using testing::finishesWithin;

// A grey picture with a gradient, encoded by libjpeg directly so that a test can choose the
// progression: `scans` as given, or the library's ordinary progressive script (-1), or baseline (0).
Bytes picture(int width, int height, int scans) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* output = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &output, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    std::vector<jpeg_scan_info> script;
    if (scans < 0) jpeg_simple_progression(&info);
    if (scans > 0) {
        // The DC scan, then every AC coefficient on its own, refined bit by bit: a valid
        // progression with as many passes as asked for.
        script.push_back({1, {0}, 0, 0, 0, 0});
        for (int k = 1; static_cast<int>(script.size()) < scans && k <= 63; ++k) script.push_back({1, {0}, k, k, 0, 6});
        for (int al = 5; al >= 0; --al)
            for (int k = 1; static_cast<int>(script.size()) < scans && k <= 63; ++k)
                script.push_back({1, {0}, k, k, al + 1, al});
        info.scan_info = script.data();
        info.num_scans = static_cast<int>(script.size());
    }
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(width);
    while (info.next_scanline < info.image_height) {
        for (int x = 0; x < width; ++x) row[x] = static_cast<JSAMPLE>((x + info.next_scanline) * 7);
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes bytes(output, output + size);
    std::free(output);
    return bytes;
}

// The start-of-frame dimensions rewritten: a small file whose header claims a huge picture.
Bytes claiming(Bytes bytes, int width, int height) {
    for (std::size_t i = 0; i + 8 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && (bytes[i + 1] == 0xC0 || bytes[i + 1] == 0xC2)) {
            bytes[i + 5] = height >> 8, bytes[i + 6] = height & 0xFF;
            bytes[i + 7] = width >> 8, bytes[i + 8] = width & 0xFF;
            break;
        }
    return bytes;
}

TEST(Jpeg, HostilePicturesCostUnderASecondAndAHundredMegabytes) {
    struct Case {
        const char* name;
        Bytes bytes;
        int decodedWidth;  // 0: refused
    } cases[] = {
        {"many scans", picture(512, 512, 200), 0},
        {"a header claiming 8192x8192", claiming(picture(640, 480, 0), 8192, 8192), 0},
        {"too wide", picture(8200, 8, 0), 0},
        {"progressive 8192x8192", picture(8192, 8192, -1), 0},
        {"baseline 8192x8192, shown small", picture(8192, 8192, 0), 1024},
        {"an ordinary progressive sheet", picture(830, 474, -1), 830},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(finishesWithin({.cpuSeconds = 1, .extraMegabytes = 100}, [&] {
            auto image = decodeJpeg(c.bytes);
            if ((image ? image->width : 0) != c.decodedWidth) throw std::runtime_error("unexpected outcome");
        })) << c.name;
    }
}

TEST(Jpeg, RefusesWhatIsNotAWholePicture) {
    Bytes whole = picture(64, 48, 0);
    ASSERT_TRUE(decodeJpeg(whole));
    EXPECT_EQ(decodeJpeg(whole)->height, 48);
    EXPECT_FALSE(decodeJpeg(Bytes(whole.begin(), whole.end() - 40)));
    EXPECT_FALSE(decodeJpeg(Bytes{0xFF, 0xD8, 0xFF}));
    EXPECT_FALSE(decodeJpeg(Bytes{}));
}

}  // namespace
}  // namespace oakenmere::platform
