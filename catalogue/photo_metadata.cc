#include "catalogue/photo_metadata.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <exiv2/exiv2.hpp>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>

#include "platform/file_io.h"
#include "platform/text.h"

namespace oakenmere::catalogue {

namespace {

using platform::Bytes;

// Exiv2 would write its warnings about odd files to standard error, and its XMP toolkit must be
// set up once before threads share it; namespaces it meets in files are registered under a lock.
void prepareExiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        static std::mutex xmpLock;
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(
            [](void* lock, bool locking) {
                auto* mutex = static_cast<std::mutex*>(lock);
                locking ? mutex->lock() : mutex->unlock();
            },
            &xmpLock);
        Exiv2::enableBMFF(true);  // HEIF and CR3, which Exiv2 0.27 leaves off unless asked
    });
}

struct ReadFile {
    platform::FileStatus status;
    std::optional<Bytes> bytes;  // nothing when over the limit or when a read failed
};

ReadFile readWhole(const std::filesystem::path& file, std::int64_t limit) {
    auto opened = platform::openRegularFile(file, O_RDONLY);
    ReadFile result{opened.status, std::nullopt};
    if (opened.status.size > limit) return result;
    Bytes bytes(static_cast<std::size_t>(opened.status.size));
    std::size_t filled = 0;
    try {
        while (filled < bytes.size()) {
            std::size_t got = platform::readSome(opened.fd, std::span(bytes).subspan(filled));
            if (got == 0) break;
            filled += got;
        }
    } catch (const std::system_error&) {
        return result;  // a file that cannot be read has no metadata; its name and times still count
    }
    bytes.resize(filled);  // a file cut short meanwhile is parsed as far as it goes
    result.bytes = std::move(bytes);
    return result;
}

// Exiv2 reads from `bytes`, which must outlive the image. (Its own AutoPtr is a deprecated std::auto_ptr.)
std::unique_ptr<Exiv2::Image> parsed(const Bytes& bytes) {
    prepareExiv2();
    if (bytes.empty()) throw Exiv2::Error(Exiv2::kerInputDataReadFailed);
    std::unique_ptr<Exiv2::Image> image(Exiv2::ImageFactory::open(bytes.data(), static_cast<long>(bytes.size())).release());
    image->readMetadata();
    return image;
}

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Exif text is padded with spaces and NULs; what follows a NUL is padding too.
std::string trimmed(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return std::string(text);
}

std::optional<std::string> exifText(const Exiv2::ExifData& exif, const char* key) {
    auto found = exif.findKey(Exiv2::ExifKey(key));
    if (found == exif.end() || found->typeId() != Exiv2::asciiString) return std::nullopt;
    return trimmed(found->toString());
}

std::optional<std::string> xmpText(const Exiv2::XmpData& xmp, const char* key) {
    auto found = xmp.findKey(Exiv2::XmpKey(key));
    if (found == xmp.end()) return std::nullopt;
    return trimmed(found->toString());
}

std::optional<std::int64_t> exifNumber(const Exiv2::ExifData& exif, const char* key) {
    auto found = exif.findKey(Exiv2::ExifKey(key));
    if (found == exif.end() || found->count() == 0) return std::nullopt;
    return static_cast<std::int64_t>(found->toLong());
}

// A parser over one string: each step either consumes what it expects or leaves the text alone.
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}
    bool atEnd() const { return text_.empty(); }
    std::optional<int> number(std::size_t digits) {
        if (text_.size() < digits) return std::nullopt;
        int value = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text_[i]))) return std::nullopt;
            value = value * 10 + (text_[i] - '0');
        }
        text_.remove_prefix(digits);
        return value;
    }
    bool skip(std::string_view oneOf) {
        if (text_.empty() || oneOf.find(text_.front()) == std::string_view::npos) return false;
        text_.remove_prefix(1);
        return true;
    }
    // Digits after a decimal point, as a fraction of a second.
    double fraction() {
        double value = 0, scale = 0.1;
        while (!text_.empty() && std::isdigit(static_cast<unsigned char>(text_.front()))) {
            value += (text_.front() - '0') * scale;
            scale /= 10;
            text_.remove_prefix(1);
        }
        return value;
    }

private:
    std::string_view text_;
};

struct WallClock {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    double fraction = 0;
    std::optional<int> offsetSeconds;  // east of UTC; nothing for local time

    bool valid() const {
        auto date = std::chrono::year{year} / month / day;
        return year >= 1 && date.ok() && hour <= 23 && minute <= 59 && second <= 60 && fraction < 1;
    }
};

// "+01:00" or "-05:30".
std::optional<int> offsetFrom(Scanner& scan) {
    bool east = scan.skip("+");
    if (!east && !scan.skip("-")) return std::nullopt;
    auto hours = scan.number(2);
    if (!hours || !scan.skip(":")) return std::nullopt;
    auto minutes = scan.number(2);
    if (!minutes || *hours > 23 || *minutes > 59) return std::nullopt;
    return (east ? 1 : -1) * (*hours * 3600 + *minutes * 60);
}

// Exif's "2019:03:14 10:20:30" (some writers use "-" or "T"), its sub-second digits and offset.
std::optional<WallClock> exifClock(const std::string& text, const std::optional<std::string>& subSeconds,
                                   const std::optional<std::string>& offset) {
    Scanner scan(text);
    WallClock clock;
    auto year = scan.number(4);
    if (!year || !scan.skip(":-")) return std::nullopt;
    auto month = scan.number(2);
    if (!month || !scan.skip(":-")) return std::nullopt;
    auto day = scan.number(2);
    if (!day || !scan.skip(" T")) return std::nullopt;
    auto hour = scan.number(2);
    if (!hour || !scan.skip(":")) return std::nullopt;
    auto minute = scan.number(2);
    if (!minute || !scan.skip(":")) return std::nullopt;
    auto second = scan.number(2);
    if (!second) return std::nullopt;
    clock = {*year, *month, *day, *hour, *minute, *second};
    if (subSeconds) clock.fraction = Scanner(*subSeconds).fraction();
    if (offset) {
        Scanner offsetScan(*offset);
        auto seconds = offsetFrom(offsetScan);
        if (seconds && offsetScan.atEnd()) clock.offsetSeconds = seconds;
    }
    return clock.valid() ? std::optional(clock) : std::nullopt;
}

// XMP's ISO 8601: "2019-03-14", "2019-03-14T10:20", "2019-03-14T10:20:30.25+01:00", "...Z".
std::optional<WallClock> xmpClock(const std::string& text) {
    Scanner scan(text);
    WallClock clock;
    auto year = scan.number(4);
    if (!year || !scan.skip("-")) return std::nullopt;
    auto month = scan.number(2);
    if (!month || !scan.skip("-")) return std::nullopt;
    auto day = scan.number(2);
    if (!day) return std::nullopt;
    clock.year = *year, clock.month = *month, clock.day = *day;
    if (scan.skip("T")) {
        auto hour = scan.number(2);
        if (!hour || !scan.skip(":")) return std::nullopt;
        auto minute = scan.number(2);
        if (!minute) return std::nullopt;
        clock.hour = *hour, clock.minute = *minute;
        if (scan.skip(":")) {
            auto second = scan.number(2);
            if (!second) return std::nullopt;
            clock.second = *second;
            if (scan.skip(".")) clock.fraction = scan.fraction();
        }
        if (scan.skip("Z")) {
            clock.offsetSeconds = 0;
        } else if (!scan.atEnd()) {
            clock.offsetSeconds = offsetFrom(scan);
            if (!clock.offsetSeconds) return std::nullopt;
        }
    }
    return scan.atEnd() && clock.valid() ? std::optional(clock) : std::nullopt;
}

std::optional<platform::Date> dateOf(const WallClock& clock) {
    using namespace std::chrono;
    if (clock.offsetSeconds) {
        auto days = sys_days(std::chrono::year{clock.year} / clock.month / clock.day).time_since_epoch().count();
        double seconds = double(days) * 86400 + clock.hour * 3600 + clock.minute * 60 + clock.second - *clock.offsetSeconds;
        return platform::Date::fromUnixSeconds(seconds + clock.fraction);
    }
    // The local zone as the C library knows it, summer time included (tm_isdst -1). mktime
    // leaves tm_wday alone when it fails, which tells a failure from the second before 1970.
    std::tm tm{};
    tm.tm_year = clock.year - 1900;
    tm.tm_mon = clock.month - 1;
    tm.tm_mday = clock.day;
    tm.tm_hour = clock.hour;
    tm.tm_min = clock.minute;
    tm.tm_sec = clock.second;
    tm.tm_isdst = -1;
    tm.tm_wday = -1;
    std::time_t seconds = std::mktime(&tm);
    if (tm.tm_wday == -1) return std::nullopt;
    return platform::Date::fromUnixSeconds(double(seconds) + clock.fraction);
}

// When the picture was taken, when it was digitised, when the file was last changed: the first
// of them that can be read.
std::optional<platform::Date> captureDate(const Exiv2::ExifData& exif, const Exiv2::XmpData& xmp) {
    struct ExifDate {
        const char *time, *subSeconds, *offset;
    };
    static constexpr ExifDate kExifDates[] = {
        {"Exif.Photo.DateTimeOriginal", "Exif.Photo.SubSecTimeOriginal", "Exif.Photo.OffsetTimeOriginal"},
        {"Exif.Photo.DateTimeDigitized", "Exif.Photo.SubSecTimeDigitized", "Exif.Photo.OffsetTimeDigitized"},
        {"Exif.Image.DateTime", "Exif.Photo.SubSecTime", "Exif.Photo.OffsetTime"}};
    for (const auto& names : kExifDates) {
        auto time = exifText(exif, names.time);
        if (!time) continue;
        if (auto clock = exifClock(*time, exifText(exif, names.subSeconds), exifText(exif, names.offset)))
            if (auto date = dateOf(*clock)) return date;
    }
    for (const char* key : {"Xmp.exif.DateTimeOriginal", "Xmp.xmp.CreateDate"}) {
        auto time = xmpText(xmp, key);
        if (!time) continue;
        if (auto clock = xmpClock(*time))
            if (auto date = dateOf(*clock)) return date;
    }
    return std::nullopt;
}

std::string cameraName(const Exiv2::ExifData& exif, const char* key) {
    return platform::escapingInvalidUtf8(exifText(exif, key).value_or(""));
}

void readInto(PhotoMetadata& metadata, const Bytes& bytes) {
    auto image = parsed(bytes);
    const auto& exif = image->exifData();
    if (auto date = captureDate(exif, image->xmpData())) {
        metadata.captureDate = *date;
        metadata.captureDateFromMetadata = true;
    }
    metadata.cameraMake = cameraName(exif, "Exif.Image.Make");
    metadata.cameraModel = cameraName(exif, "Exif.Image.Model");
    auto width = exifNumber(exif, "Exif.Photo.PixelXDimension");
    auto height = exifNumber(exif, "Exif.Photo.PixelYDimension");
    if (!width || !height || *width <= 0 || *height <= 0) width = image->pixelWidth(), height = image->pixelHeight();
    if (*width > 0 && *height > 0) metadata.pixelWidth = width, metadata.pixelHeight = height;
}

int orientationOf(const Exiv2::ExifData& exif) {
    auto value = exifNumber(exif, "Exif.Image.Orientation");
    return value && *value >= 1 && *value <= 8 ? static_cast<int>(*value) : 1;
}

bool hasJpegName(const std::filesystem::path& file) {
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".jpg" || extension == ".jpeg";
}

bool isJpeg(const Bytes& bytes) { return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF; }

}  // namespace

PhotoMetadata readMetadata(const std::filesystem::path& file) {
    PhotoMetadata metadata;
    metadata.kind = kindOf(file);
    bool parse = metadata.kind == MediaKind::photo || metadata.kind == MediaKind::raw;
    auto read = readWhole(file, parse ? largestParsedFile : 0);
    metadata.captureDate = platform::Date::fromUnixSeconds(double(read.status.modifiedSeconds) + read.status.modifiedNanoseconds * 1e-9);
    if (!parse || !read.bytes) return metadata;
    PhotoMetadata parsedMetadata = metadata;
    try {
        readInto(parsedMetadata, *read.bytes);
    } catch (const std::exception&) {
        // Exiv2 refuses a malformed file with its own error, and with standard ones (overflow,
        // allocation) where the file claims absurd sizes: either way the file has no metadata.
        return metadata;
    }
    return parsedMetadata;
}

std::optional<DisplayablePicture> displayablePicture(const std::filesystem::path& file) {
    auto kind = kindOf(file);
    if (kind != MediaKind::photo && kind != MediaKind::raw) return std::nullopt;
    try {
        auto read = readWhole(file, hasJpegName(file) ? largestDisplayedJpeg : largestParsedFile);
        if (!read.bytes) return std::nullopt;
        Bytes& bytes = *read.bytes;
        if (isJpeg(bytes)) {
            if (static_cast<std::int64_t>(bytes.size()) > largestDisplayedJpeg) return std::nullopt;
            int orientation = 1;
            try {
                orientation = orientationOf(parsed(bytes)->exifData());
            } catch (const std::exception&) {
                // Unreadable Exif leaves the picture as stored; whether it decodes is the decoder's call.
            }
            return DisplayablePicture{std::move(bytes), orientation};
        }
        auto image = parsed(bytes);
        Exiv2::PreviewManager previews(*image);
        std::optional<Exiv2::PreviewProperties> largest;
        auto area = [](const Exiv2::PreviewProperties& p) { return std::pair(std::uint64_t{p.width_} * p.height_, p.size_); };
        for (const auto& properties : previews.getPreviewProperties())
            if (properties.mimeType_ == "image/jpeg" && (!largest || area(properties) > area(*largest))) largest = properties;
        if (!largest) return std::nullopt;
        auto preview = previews.getPreviewImage(*largest);
        if (preview.size() == 0) return std::nullopt;
        return DisplayablePicture{Bytes(preview.pData(), preview.pData() + preview.size()), orientationOf(image->exifData())};
    } catch (const std::exception&) {
        // A file that cannot be opened or read, or that Exiv2 refuses, simply has nothing to show.
        return std::nullopt;
    }
}

std::optional<Bytes> displayableJpeg(const std::filesystem::path& file) {
    auto picture = displayablePicture(file);
    if (!picture) return std::nullopt;
    return std::move(picture->jpeg);
}

}  // namespace oakenmere::catalogue
