#pragma once
// JPEG through libjpeg-turbo: encoding pictures the program draws, and decoding to tell whether
// bytes are a picture at all.
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

// Throws std::runtime_error when libjpeg-turbo refuses the image.
Bytes encodeJpeg(const RgbImage& image, int quality);
// nullopt unless libjpeg-turbo decodes the whole image without error.
std::optional<RgbImage> decodeJpeg(ByteView bytes);

}  // namespace oakenmere::platform
