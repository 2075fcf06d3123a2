// Arbitrary bytes as "Summary.jpg": decoding never crashes, and a picture that decodes is no
// larger than the page is ever shown.
#include <cstdint>
#include <cstdlib>

#include "platform/jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const oakenmere::platform::JpegLimits limits;
    auto image = oakenmere::platform::decodeJpeg({data, size}, limits);
    if (image && (image->width > limits.largestDecodedSide || image->height > limits.largestDecodedSide ||
                  image->pixels.size() != static_cast<std::size_t>(image->width) * image->height * 3))
        std::abort();
    return 0;
}
