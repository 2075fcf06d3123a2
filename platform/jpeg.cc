#include "platform/jpeg.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <turbojpeg.h>

namespace oakenmere::platform {

namespace {
struct HandleCloser {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;
}  // namespace

Bytes encodeJpeg(const RgbImage& image, int quality) {
    Handle handle(tjInitCompress());
    if (!handle) throw std::runtime_error("The JPEG encoder could not be started.");
    unsigned char* output = nullptr;
    unsigned long size = 0;
    int rc = tjCompress2(handle.get(), image.pixels.data(), image.width, 0, image.height, TJPF_RGB, &output, &size,
                         TJSAMP_420, quality, TJFLAG_ACCURATEDCT);
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(output, [](unsigned char* p) { tjFree(p); });
    if (rc != 0) throw std::runtime_error(std::string("The picture could not be encoded: ") + tjGetErrorStr2(handle.get()));
    return Bytes(output, output + size);
}

std::optional<RgbImage> decodeJpeg(ByteView bytes) {
    if (bytes.empty()) return std::nullopt;
    Handle handle(tjInitDecompress());
    if (!handle) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle.get(), bytes.data(), bytes.size(), &width, &height, &subsampling, &colorspace) != 0)
        return std::nullopt;
    // A header may claim any size; a contact sheet is never larger than this.
    if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > 64LL * 1024 * 1024) return std::nullopt;
    RgbImage image(width, height);
    // Warnings (a truncated tail, say) count as failures: only whole pictures are shown.
    if (tjDecompress2(handle.get(), bytes.data(), bytes.size(), image.pixels.data(), width, 0, height, TJPF_RGB,
                      TJFLAG_ACCURATEDCT | TJFLAG_STOPONWARNING) != 0)
        return std::nullopt;
    return image;
}

}  // namespace oakenmere::platform
