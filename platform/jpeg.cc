#include "platform/jpeg.h"

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
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

// libjpeg reports errors by calling error_exit, which must not return: it jumps back to the
// decode's setjmp. Only trivially destructible objects live between the two.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jumpOut(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

// Warnings (corrupt data, a truncated tail) count as errors: only whole pictures are shown.
void warningsAreErrors(j_common_ptr info, int level) {
    if (level < 0) jumpOut(info);
}

struct ScanLimit {
    jpeg_progress_mgr base;
    int largestScans;
};

// A progressive picture may carry thousands of scans, each a pass over the whole image.
void limitScans(j_common_ptr info) {
    auto* limit = reinterpret_cast<ScanLimit*>(info->progress);
    auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
    if (decompress->input_scan_number > limit->largestScans) std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// The smallest power-of-two reduction (up to 1/8) that fits the side limit.
unsigned int reductionFor(const jpeg_decompress_struct& info, int largestDecodedSide) {
    unsigned int denominator = 1;
    while (denominator < 8 && (info.image_width > largestDecodedSide * denominator || info.image_height > largestDecodedSide * denominator))
        denominator *= 2;
    return denominator;
}

// Fills `out`, or returns false. Holds no object with a destructor across the setjmp.
bool decodeInto(ByteView bytes, const JpegLimits& limits, std::optional<RgbImage>& out) {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    ScanLimit scanLimit{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jumpOut;
    errors.base.emit_message = warningsAreErrors;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        out.reset();
        return false;
    }
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = limits.largestWorkingMemory;
    scanLimit.base.progress_monitor = limitScans;
    scanLimit.largestScans = limits.largestScans;
    info.progress = &scanLimit.base;
    jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    if (info.image_width == 0 || info.image_height == 0 || info.image_width > unsigned(limits.largestSide) ||
        info.image_height > unsigned(limits.largestSide)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    info.scale_num = 1;
    info.scale_denom = reductionFor(info, limits.largestDecodedSide);
    info.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&info);
    out.emplace(static_cast<int>(info.output_width), static_cast<int>(info.output_height));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out->at(0, static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

Bytes encodeJpeg(const RgbImage& image, int quality) {
    Handle handle(tjInitCompress());
    if (!handle) throw std::runtime_error("The JPEG encoder could not be started.");
    unsigned char* output = nullptr;
    unsigned long size = 0;
    int rc = tjCompress2(handle.get(), image.pixels.data(), image.width, 0, image.height, TJPF_RGB, &output, &size, TJSAMP_420, quality,
                         TJFLAG_ACCURATEDCT);
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(output, [](unsigned char* p) { tjFree(p); });
    if (rc != 0) throw std::runtime_error(std::string("The picture could not be encoded: ") + tjGetErrorStr2(handle.get()));
    return Bytes(output, output + size);
}

std::optional<RgbImage> decodeJpeg(ByteView bytes, const JpegLimits& limits) {
    std::optional<RgbImage> image;
    if (bytes.empty() || !decodeInto(bytes, limits, image)) return std::nullopt;
    return image;
}

}  // namespace oakenmere::platform
