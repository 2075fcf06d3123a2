// Metadata and previews read from files made byte by byte: Exif and XMP as cameras and editors
// lay them out, broken and disguised files, and a TIFF-based RAW.
#include "catalogue/photo_metadata.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

#include "catalogue/hand_made_exif.h"
#include "platform/file_io.h"
#include "platform/jpeg.h"
#include "platform/posix_error.h"
#include "support/child_process.h"
#include "support/jpeg_pictures.h"
#include "support/temp_dir.h"

namespace oakenmere::catalogue {

// Failures name the fields (found by argument-dependent lookup, so outside the unnamed namespace).
static void PrintTo(const PhotoMetadata& m, std::ostream* out) {
    *out << rawValue(m.kind) << ", " << std::fixed << m.captureDate.unixSeconds() << (m.captureDateFromMetadata ? " (metadata)" : " (file)")
         << ", \"" << m.cameraMake << "\", \"" << m.cameraModel << "\", " << m.pixelWidth.value_or(0) << "x" << m.pixelHeight.value_or(0);
}

namespace {

using namespace oakenmere::testing;
using platform::Bytes;
using platform::Date;

constexpr double kModified = 1'000'000'000;  // every file's modification time

// Local time is New York's for the test, summer time included; the zone the process had comes back.
class InNewYork {
public:
    InNewYork() {
        if (const char* zone = std::getenv("TZ")) previous_ = zone;
        ::setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
        ::tzset();
    }
    ~InNewYork() {
        previous_ ? ::setenv("TZ", previous_->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> previous_;
};

fs::path placed(const TempDir& dir, const std::string& name, const Bytes& bytes) {
    auto path = dir.writeFile(name, bytes);
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(long(kModified)))));
    return path;
}

Bytes xmpJpeg(const std::string& attributes) {
    std::string packet =
        R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)"
        R"(<rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmlns:exif="http://ns.adobe.com/exif/1.0/" )" +
        attributes + "/></rdf:RDF></x:xmpmeta>";
    return withApp1(jpegPicture(64, 48, 0), std::string_view("http://ns.adobe.com/xap/1.0/\0", 29), platform::asBytes(packet));
}

Bytes rawFile(int orientation) {
    return rawWithPreviews(jpegPicture(160, 120, 0), jpegPicture(32, 24, 0),
                           {asciiField(0x010F, "Acme"), asciiField(0x0110, "Acme R1"), shortField(0x0112, orientation),
                            longField(0x0100, 6000), longField(0x0101, 4000)});
}

PhotoMetadata expected(MediaKind kind, std::optional<double> captured = std::nullopt, std::string make = "", std::string model = "",
                       std::optional<std::int64_t> width = std::nullopt, std::optional<std::int64_t> height = std::nullopt) {
    return {kind, Date::fromUnixSeconds(captured.value_or(kModified)), captured.has_value(), make, model, width, height};
}

TEST(PhotoMetadata, ReadsCaptureTimeCameraAndSizeAndFallsBackQuietly) {
    InNewYork zone;
    const Bytes fromCamera = withExif(jpegPicture(64, 48, 0),
                                      {asciiField(0x010F, std::string_view("Canon \0\0   ", 11)), asciiField(0x0110, "  Canon EOS R5    "),
                                       asciiField(0x0132, "2000:01:01 00:00:00")},
                                      {asciiField(0x9003, "2019:03:14 10:20:30"), asciiField(0x9291, "25"), asciiField(0x9011, "+02:00"),
                                       shortField(0xA002, 8192), longField(0xA003, 5464)});
    const auto photo = MediaKind::photo;
    struct Case {
        const char* name;
        std::string file;
        Bytes bytes;
        PhotoMetadata metadata;
    } cases[] = {
        {"original time, sub-seconds, offset; padded camera; Exif size", "a.jpg", fromCamera,
         expected(photo, 1552551630.25, "Canon", "Canon EOS R5", 8192, 5464)},
        {"blank original: the digitised time", "b.jpeg",
         withExif(jpegPicture(64, 48, 0), {},
                  {asciiField(0x9003, "    :  :     :  :  "), asciiField(0x9004, "2020:01:02 03:04:05"), asciiField(0x9292, "5"),
                   asciiField(0x9012, "-05:30")}),
         expected(photo, 1577954045.5, "", "", 64, 48)},
        {"no offset: local summer time", "c.JPG", withExif(jpegPicture(64, 48, 0), {asciiField(0x0132, "2019:07:01 12:00:00")}),
         expected(photo, 1561996800, "", "", 64, 48)},
        {"unreadable offset: local winter time", "d.jpg",
         withExif(jpegPicture(64, 48, 0), {}, {asciiField(0x9003, "2019:01:01 12:00:00"), asciiField(0x9011, "+2")}),
         expected(photo, 1546362000, "", "", 64, 48)},
        {"XMP original before XMP creation", "e.jpg",
         xmpJpeg(R"(xmp:CreateDate="2018-05-06T07:08:09Z" exif:DateTimeOriginal="2017-01-02T03:04:05.5+01:00")"),
         expected(photo, 1483322645.5, "", "", 64, 48)},
        {"XMP creation without a zone: local", "f.jpg", xmpJpeg(R"(xmp:CreateDate="2018-05-06T07:08")"),
         expected(photo, 1525604880, "", "", 64, 48)},
        {"no metadata: modification time", "g.jpg", jpegPicture(64, 48, 0), expected(photo, std::nullopt, "", "", 64, 48)},
        {"cut short in its Exif", "h.jpg", Bytes(fromCamera.begin(), fromCamera.begin() + 60), expected(photo)},
        {"an Exif value claimed beyond its segment", "n.jpg", withExif(jpegPicture(64, 48, 0), {{0x010F, 2, 100'000, {}}}),
         expected(photo, std::nullopt, "", "", 64, 48)},
        {"garbage photo", "i.jpg", platform::toBytes("not a picture at all"), expected(photo)},
        {"empty photo", "j.jpg", {}, expected(photo)},
        {"garbage RAW", "k.cr2", Bytes(4096, 0x49), expected(MediaKind::raw)},
        {"Exif in a video is not looked at", "l.mov", fromCamera, expected(MediaKind::video)},
        {"TIFF-based RAW", "m.dng", rawFile(1), expected(MediaKind::raw, std::nullopt, "Acme", "Acme R1", 6000, 4000)},
    };
    TempDir dir;
    ::testing::internal::CaptureStderr();
    for (const auto& c : cases) EXPECT_EQ(readMetadata(placed(dir, c.file, c.bytes)), c.metadata) << c.name;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "Exiv2 stays silent";
}

TEST(PhotoMetadata, ShowsAJpegAsItIsAndARawThroughItsLargestPreview) {
    TempDir dir;
    const Bytes jpeg = withExif(jpegPicture(40, 30, 0), {shortField(0x0112, 3)});
    struct Case {
        const char* name;
        std::string file;
        Bytes bytes;
        int width;  // of the picture shown; 0 for none
        int orientation;
    } cases[] = {
        {"JPEG", "a.jpg", jpeg, 40, 3},
        {"RAW: IFD0's preview, not IFD1's thumbnail", "b.dng", rawFile(6), 160, 6},
        {"garbage RAW", "c.cr2", Bytes(4096, 0), 0, 0},
        {"PNG without previews", "d.png", platform::toBytes("\x89PNG\r\n\x1a\n"), 0, 0},
        {"a video", "e.mov", jpeg, 0, 0},
    };
    for (const auto& c : cases) {
        auto picture = displayablePicture(placed(dir, c.file, c.bytes));
        auto image = picture ? platform::decodeJpeg(picture->jpeg) : std::nullopt;
        EXPECT_EQ(image ? image->width : 0, c.width) << c.name;
        EXPECT_EQ(picture ? picture->orientation : 0, c.orientation) << c.name;
    }
    EXPECT_EQ(displayableJpeg(dir / "a.jpg"), jpeg);
}

TEST(PhotoMetadata, RefusesWhatIsNotARegularFileOfItsOwnName) {
    TempDir dir;
    auto picture = placed(dir, "a.jpg", jpegPicture(64, 48, 0));
    auto link = dir.makeSymlink(picture, "link.jpg");
    auto fifo = dir / "fifo.jpg";
    ASSERT_EQ(run({"/usr/bin/mkfifo", fifo.string()}).status, 0);
    for (const auto& [path, err] : {std::pair{link, ELOOP}, {dir / "missing.jpg", ENOENT}, {fifo, 0}}) {
        try {
            readMetadata(path);
            ADD_FAILURE() << path << " was read";
        } catch (const std::system_error& error) {
            EXPECT_TRUE(platform::isPosixError(error, err)) << path << ": " << error.what();
        } catch (const platform::NotRegularFileError&) {
            EXPECT_EQ(err, 0) << path;
        }
        EXPECT_EQ(displayableJpeg(path), std::nullopt) << path;
    }
}

}  // namespace
}  // namespace oakenmere::catalogue
