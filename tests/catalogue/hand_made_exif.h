#pragma once
// Exif written byte by byte, laid out as cameras write it: a little-endian TIFF structure of
// IFDs holding tagged values, put in a JPEG's APP1 segment or standing alone as a TIFF-based RAW.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace oakenmere::testing {

struct TiffField {
    std::uint16_t tag;
    std::uint16_t type;  // 2 ASCII, 3 SHORT, 4 LONG
    std::uint32_t count;
    platform::Bytes value;  // little-endian
};

inline TiffField asciiField(std::uint16_t tag, std::string_view text) {
    platform::Bytes value(text.begin(), text.end());
    value.push_back(0);
    return {tag, 2, static_cast<std::uint32_t>(value.size()), value};
}
inline TiffField shortField(std::uint16_t tag, std::uint16_t v) { return {tag, 3, 1, {std::uint8_t(v), std::uint8_t(v >> 8)}}; }
inline TiffField longField(std::uint16_t tag, std::uint32_t v) {
    return {tag, 4, 1, {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}};
}

class TiffWriter {
public:
    // Appends bytes (a preview's JPEG) and returns their offset.
    std::uint32_t data(platform::ByteView bytes) {
        if (bytes_.size() % 2) bytes_.push_back(0);
        auto at = static_cast<std::uint32_t>(bytes_.size());
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return at;
    }
    // Appends an IFD, with the values too long for its entries after it, and returns its offset.
    std::uint32_t ifd(std::vector<TiffField> fields, std::uint32_t next = 0) {
        std::sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) { return a.tag < b.tag; });
        if (bytes_.size() % 2) bytes_.push_back(0);
        auto at = static_cast<std::uint32_t>(bytes_.size());
        auto valuesAt = static_cast<std::uint32_t>(at + 2 + 12 * fields.size() + 4);
        platform::Bytes entries, values;
        put(entries, static_cast<std::uint32_t>(fields.size()), 2);
        for (const auto& field : fields) {
            put(entries, field.tag, 2), put(entries, field.type, 2), put(entries, field.count, 4);
            if (field.value.size() <= 4) {
                platform::Bytes inline_ = field.value;
                inline_.resize(4);
                entries.insert(entries.end(), inline_.begin(), inline_.end());
            } else {
                put(entries, static_cast<std::uint32_t>(valuesAt + values.size()), 4);
                values.insert(values.end(), field.value.begin(), field.value.end());
                if (values.size() % 2) values.push_back(0);
            }
        }
        put(entries, next, 4);
        bytes_.insert(bytes_.end(), entries.begin(), entries.end());
        bytes_.insert(bytes_.end(), values.begin(), values.end());
        return at;
    }
    // The whole TIFF, `first` being its first IFD.
    platform::Bytes finish(std::uint32_t first) {
        platform::Bytes out = bytes_;
        for (int i = 0; i < 4; ++i) out[4 + i] = std::uint8_t(first >> (8 * i));
        return out;
    }

private:
    static void put(platform::Bytes& out, std::uint32_t v, int size) {
        for (int i = 0; i < size; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
    }
    platform::Bytes bytes_{'I', 'I', 42, 0, 0, 0, 0, 0};
};

// `jpeg` with an APP1 segment right after its start marker: `signature`, then `payload`.
inline platform::Bytes withApp1(const platform::Bytes& jpeg, std::string_view signature, platform::ByteView payload) {
    std::size_t length = 2 + signature.size() + payload.size();
    const std::uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE1, std::uint8_t(length >> 8), std::uint8_t(length)};
    platform::Bytes out(sizeof head + signature.size() + payload.size() + jpeg.size() - 2);
    auto end = std::copy(std::begin(head), std::end(head), out.begin());
    end = std::copy(signature.begin(), signature.end(), end);
    end = std::copy(payload.begin(), payload.end(), end);
    std::copy(jpeg.begin() + 2, jpeg.end(), end);
    return out;
}

// A JPEG carrying Exif: `image` in IFD0 and, when given, `photo` in the Exif IFD it points to.
inline platform::Bytes withExif(const platform::Bytes& jpeg, std::vector<TiffField> image, const std::vector<TiffField>& photo = {}) {
    TiffWriter tiff;
    if (!photo.empty()) image.push_back(longField(0x8769, tiff.ifd(photo)));
    auto first = tiff.ifd(image);
    return withApp1(jpeg, std::string_view("Exif\0\0", 6), tiff.finish(first));
}

// A TIFF-based RAW as DNG and CR2 are: IFD0 holding `fields` and `preview`, then IFD1 holding
// `thumbnail`, each JPEG pointed at by JPEGInterchangeFormat and its length.
inline platform::Bytes rawWithPreviews(const platform::Bytes& preview, const platform::Bytes& thumbnail, std::vector<TiffField> fields) {
    TiffWriter tiff;
    auto thumbnailAt = tiff.data(thumbnail);
    auto ifd1 = tiff.ifd({longField(0x0201, thumbnailAt), longField(0x0202, static_cast<std::uint32_t>(thumbnail.size()))});
    fields.push_back(longField(0x0201, tiff.data(preview)));
    fields.push_back(longField(0x0202, static_cast<std::uint32_t>(preview.size())));
    return tiff.finish(tiff.ifd(fields, ifd1));
}

}  // namespace oakenmere::testing
