// Packages are data from anywhere: whatever their bytes, reading one and drawing its page costs
// under a second and a hundred megabytes, and no text from it steers the terminal or the HTML.
#include <gtest/gtest.h>
#include <regex>
#include <stdexcept>

#include "BrightloftQuickLook/html_renderer.h"
#include "BrightloftQuickLook/library_preview_view.h"
#include "BrightloftQuickLook/terminal_renderer.h"
#include "platform/decoding_error.h"
#include "preview_fixtures.h"
#include "support/hand_made_plist.h"
#include "support/jpeg_pictures.h"
#include "support/resource_bound.h"
#include "support/temp_dir.h"

namespace oakenmere::BrightloftQuickLook {
namespace {

namespace fs = std::filesystem;
using namespace fixtures;
using namespace oakenmere::testing;

enum class Bomb { sharedArrays, cycle, sharedString };

// An identity record whose extra member "more" is a chain of arrays, each level holding the next
// fourteen times (14^7 nodes once expanded); one array holding itself; or 4,000 references to
// one string of 16,000 letters (64 MB once expanded, from a 20 KB file).
Bytes infoPlistWith(Bomb bomb, const Uuid& identifier) {
    auto text = [](std::string_view s) {
        Bytes object = s.size() < 15 ? Bytes{static_cast<std::uint8_t>(0x50 | s.size())}
                                     : Bytes{0x5F, 0x11, static_cast<std::uint8_t>(s.size() >> 8), static_cast<std::uint8_t>(s.size())};
        object.insert(object.end(), s.begin(), s.end());
        return object;
    };
    std::vector<Bytes> objects = {
        {0xD4, 1, 2, 3, 4, 5, 6, 7, 8}, text("formatVersion"), text("identifier"), text("name"), text("more"), {0x10, 1},
        text(identifier.string()),      text("Holiday")};
    if (bomb == Bomb::cycle) objects.push_back({0xA1, 8});
    for (std::uint8_t level = 8; bomb == Bomb::sharedArrays && level < 15; ++level) {
        objects.push_back(Bytes(15, static_cast<std::uint8_t>(level + 1)));
        objects.back()[0] = 0xAE;
    }
    if (bomb == Bomb::sharedArrays) objects.push_back({0x10, 0});
    if (bomb == Bomb::sharedString) {
        Bytes references = {0xAF, 0x11, 4000 >> 8, 4000 & 0xFF};
        references.resize(references.size() + 4000, 9);
        objects.push_back(references);
        objects.push_back(text(std::string(16000, 'x')));
    }
    return binaryPlist(objects);
}

// A summary with a contact sheet whose camera name, writer and update time are JSON text written
// by hand, so they can hold what our writer never would.
Bytes summaryJson(const Uuid& library, std::string_view camera, std::string_view writer = "\"\"", std::string_view updatedAt = "1") {
    Details details = fullDetails();
    details.cameras = {{"CAMERA", 3}};
    details.writtenBy = "WRITER";
    std::string json = summaryOf(details, 10, 12, library).encodeJSON();
    json = std::regex_replace(json, std::regex("\"updatedAt\":[^,}]*"), "\"updatedAt\":" + std::string(updatedAt));
    json = std::regex_replace(json, std::regex("\"CAMERA\""), std::string(camera));
    return oakenmere::platform::toBytes(std::regex_replace(json, std::regex("\"WRITER\""), std::string(writer)));
}

// Text with nothing that steers a terminal or that HTML cannot carry: no control but the line
// feed, no C1 control, no bidirectional override. Our own colour codes are taken out first.
bool isInert(std::string text) {
    text = std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), "");
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
    return !std::regex_search(text, std::regex("\xC2[\x80-\x9F]|\xE2\x80[\xAA-\xAE]|\xE2\x81[\xA6-\xA9]"));
}

TEST(HostilePackage, PreviewsCostLittleAndShowEveryCharacter) {
    TempDir dir;
    const Bytes manyScans = jpegPicture(512, 512, 200);
    const Bytes huge = jpegPicture(8192, 4096, 0, 1);  // 100 MB as pixels, under 2 MB as a file
    const Bytes claimsHuge = jpegClaiming(jpegPicture(640, 480, 0), 8192, 8192);
    ASSERT_LE(huge.size(), LibraryBundle::LibraryPreviewSummaryStore::contactSheetByteLimit);
    const PackageInfo info;  // each package is in a folder of its own, so they can share one identity
    const Uuid id = info.uuid();
    const struct {
        const char* what;
        const char* file;  // written over the ordinary package's
        Bytes bytes;
        const char* shows;  // in the plain terminal page, or after "refused: " what the store's DecodingError says
        bool picture;
    } cases[] = {
        {"shared arrays", "Info.plist", infoPlistWith(Bomb::sharedArrays, id), "refused: refers to one container more than once", false},
        {"a cycle", "Info.plist", infoPlistWith(Bomb::cycle, id), "refused: refers to one container more than once", false},
        {"a string shared 4,000 times", "Info.plist", infoPlistWith(Bomb::sharedString, id), "refused: expands too far", false},
        {"a JPEG of 200 scans", "Summary.jpg", manyScans, "X100V 3", false},
        {"a JPEG of 8192x4096", "Summary.jpg", huge, "X100V 3", true},
        {"a JPEG claiming 8192x8192", "Summary.jpg", claimsHuge, "X100V 3", false},
        {"controls in the name", "Info.plist", infoPlistBytes({.identifier = info.identifier, .name = "\x1b]0;owned\x07Holiday\r"}),
         "\\x1B]0;owned\\x07Holiday\\r", true},
        {"controls in the camera and writer", "Summary.json", summaryJson(id, R"("\u001b[2J\u202eX100V")", R"("\u009b31m\u0007")"),
         "\\x1B[2J\\u{202E}X100V 3", true},
        {"a NUL in a camera", "Summary.json", summaryJson(id, R"("A\u0000B")"), "A\\x00B 3", true},
        {"updated in year -5838270", "Summary.json", summaryJson(id, "\"X100V\"", "\"\"", "-1e300"), "updated Jan ", true},
        {"updated in year 5838270", "Summary.json", summaryJson(id, "\"X100V\"", "\"\"", "1e300"), ", 9999, ", true}};
    for (const auto& c : cases) {
        const fs::path package = dir.makeLibrary(std::string(c.what) + ".oakenmere", info);
        dir.writeFile(package / "Summary.json", summaryJson(id, "\"X100V\""));
        dir.writeFile(package / "Summary.jpg", contactSheetJpeg());
        dir.writeFile(package / c.file, c.bytes);
        EXPECT_TRUE(finishesWithin({.cpuSeconds = 1, .extraMegabytes = 100}, [&] {
            LibraryBundle::LibraryPreview preview;
            try {
                preview = LibraryBundle::LibraryPreviewSummaryStore().read(package);
            } catch (const oakenmere::platform::DecodingError& error) {
                // The check's own refusal, not a decoder that gave up once memory ran out.
                const std::string_view shows = c.shows;
                if (shows.starts_with("refused: ") && std::string_view(error.what()).ends_with(shows.substr(9))) return;
                throw;
            }
            const LibraryPreviewView view(LibraryPreviewContent(preview, preview.name, enUS()));
            const page::Page page = view.body(640, 600);
            const std::string plain = renderTerminal(page, {80, false});
            if (plain.find(c.shows) == std::string::npos || view.content().contactSheet().has_value() != c.picture)
                throw std::runtime_error(plain);
            for (const std::string& out : {plain, renderTerminal(page, {80, true}), renderHtml(page, view.content().name())})
                if (!isInert(out)) throw std::runtime_error(out);
        })) << c.what;
    }
}

}  // namespace
}  // namespace oakenmere::BrightloftQuickLook
