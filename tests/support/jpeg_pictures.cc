#include "support/jpeg_pictures.h"

#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>
#include <vector>

namespace oakenmere::testing {

platform::Bytes jpegPicture(int width, int height, int scans, int quality) {
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
    jpeg_set_quality(&info, quality, TRUE);
    std::vector<jpeg_scan_info> script;
    if (scans < 0) jpeg_simple_progression(&info);
    if (scans > 0) {
        // The DC scan, then every AC coefficient on its own, refined bit by bit: a valid
        // progression with as many passes as asked for.
        script.push_back({1, {0}, 0, 0, 0, 0});
        for (int k = 1; static_cast<int>(script.size()) < scans && k <= 63; ++k) script.push_back({1, {0}, k, k, 0, 6});
        for (int al = 5; al >= 0; --al)
            for (int k = 1; static_cast<int>(script.size()) < scans && k <= 63; ++k) script.push_back({1, {0}, k, k, al + 1, al});
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
    platform::Bytes bytes(output, output + size);
    std::free(output);
    return bytes;
}

platform::Bytes jpegClaiming(platform::Bytes bytes, int width, int height) {
    for (std::size_t i = 0; i + 8 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && (bytes[i + 1] == 0xC0 || bytes[i + 1] == 0xC2)) {
            bytes[i + 5] = height >> 8, bytes[i + 6] = height & 0xFF;
            bytes[i + 7] = width >> 8, bytes[i + 8] = width & 0xFF;
            break;
        }
    return bytes;
}

}  // namespace oakenmere::testing
