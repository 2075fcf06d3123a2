#pragma once
// JPEG through libjpeg-turbo: encoding the pictures the program draws (TurboJPEG), and decoding
// pictures from library packages (libjpeg, whose hooks can bound the work). Those may be hostile,
// so a decode is bounded in size, memory and scans before any of it is spent.
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/bytes.h"

namespace oakenmere::platform {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // rows of R, G, B bytes, top row first

    RgbImage(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h * 3) {}
    std::uint8_t* at(int x, int y) { return &pixels[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

// What a decode may cost. A picture over any limit is refused, not shown partly.
struct JpegLimits {
    int largestSide = 8192;                 // pixels, either side, as the header claims
    int largestScans = 32;                  // progressive scans (ordinary encoders use about 10)
    long largestWorkingMemory = 48L << 20;  // bytes libjpeg may hold (whole-image buffers included)
    int largestDecodedSide = 1280;          // decoded at 1/2, 1/4 or 1/8 scale to fit this
};

// Throws std::runtime_error when the encoder refuses the image.
Bytes encodeJpeg(const RgbImage& image, int quality);
// nullopt unless the whole image decodes without a warning and within `limits`. A large
// picture comes back scaled down by a power of two (the page never shows it larger).
std::optional<RgbImage> decodeJpeg(ByteView bytes, const JpegLimits& limits = {});

}  // namespace oakenmere::platform
