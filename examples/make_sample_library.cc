// Makes the sample library shipped in examples/: a real package with its identity record, a
// preview summary with details and a contact sheet drawn here, so that every byte of it comes
// from the program and can be made again.
//
//   make-sample-library DESTINATION.oakenmere
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "platform/file_io.h"
#include "platform/jpeg.h"
#include "platform/property_list.h"
#include "platform/sha256.h"

using namespace oakenmere;

using LibraryBundle::LibraryPreviewSummary;

namespace {

constexpr int kColumns = 4, kRows = 3, kTileWidth = 200, kTileHeight = 150, kGutter = 6;

// A stable identifier from a label, so that the sample is the same on every run.
platform::Uuid stableUuid(const std::string& label) {
    auto digest = platform::Sha256::hexOf(platform::asBytes(label));
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < 16; ++i) bytes[i] = static_cast<std::uint8_t>(std::stoi(digest.substr(i * 2, 2), nullptr, 16));
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return platform::Uuid(bytes);
}

platform::Date utc(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    return platform::Date::fromUnixSeconds(static_cast<double>(timegm(&tm)));
}

struct Rgb {
    double r, g, b;
};
Rgb mix(Rgb a, Rgb b, double t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

// One coastal scene per tile: a sky gradient, a sun or moon, hills, and the sea with glints.
struct Scene {
    Rgb skyTop, skyHorizon, sea, hills;
    double sunX, sunY, sunRadius;
    Rgb sun;
    double horizon;  // fraction of the height
    double hillPhase;
};

const Scene kScenes[kColumns * kRows] = {
    {{0.98, 0.62, 0.40}, {1.00, 0.86, 0.62}, {0.20, 0.35, 0.50}, {0.32, 0.22, 0.28}, 0.30, 0.52, 0.09, {1.0, 0.95, 0.80}, 0.62, 0.3},
    {{0.25, 0.52, 0.86}, {0.70, 0.85, 0.97}, {0.10, 0.42, 0.62}, {0.20, 0.40, 0.25}, 0.75, 0.22, 0.07, {1.0, 1.0, 0.92}, 0.58, 1.1},
    {{0.12, 0.10, 0.30}, {0.85, 0.40, 0.35}, {0.18, 0.16, 0.32}, {0.10, 0.08, 0.14}, 0.55, 0.56, 0.11, {1.0, 0.70, 0.45}, 0.64, 2.0},
    {{0.03, 0.05, 0.15}, {0.10, 0.16, 0.32}, {0.04, 0.08, 0.18}, {0.02, 0.03, 0.06}, 0.22, 0.20, 0.05, {0.95, 0.95, 1.0}, 0.66, 2.7},
    {{0.45, 0.68, 0.90}, {0.88, 0.93, 0.98}, {0.15, 0.55, 0.60}, {0.40, 0.50, 0.30}, 0.50, 0.18, 0.06, {1.0, 1.0, 0.95}, 0.55, 3.4},
    {{0.60, 0.60, 0.66}, {0.85, 0.85, 0.88}, {0.35, 0.42, 0.48}, {0.28, 0.32, 0.30}, 0.80, 0.30, 0.00, {1.0, 1.0, 1.0}, 0.60, 4.2},
    {{0.95, 0.45, 0.30}, {0.99, 0.78, 0.45}, {0.35, 0.28, 0.40}, {0.22, 0.14, 0.18}, 0.66, 0.58, 0.12, {1.0, 0.88, 0.60}, 0.66, 5.0},
    {{0.30, 0.60, 0.92}, {0.80, 0.92, 1.00}, {0.05, 0.50, 0.58}, {0.78, 0.70, 0.52}, 0.20, 0.16, 0.05, {1.0, 1.0, 0.95}, 0.52, 5.8},
    {{0.40, 0.22, 0.48}, {0.95, 0.55, 0.55}, {0.30, 0.22, 0.40}, {0.16, 0.10, 0.20}, 0.40, 0.50, 0.10, {1.0, 0.80, 0.60}, 0.63, 0.7},
    {{0.08, 0.12, 0.25}, {0.30, 0.45, 0.65}, {0.08, 0.16, 0.28}, {0.05, 0.06, 0.10}, 0.70, 0.24, 0.06, {0.92, 0.94, 1.0}, 0.61, 1.6},
    {{0.55, 0.78, 0.95}, {0.92, 0.96, 1.00}, {0.20, 0.62, 0.70}, {0.30, 0.55, 0.35}, 0.35, 0.20, 0.06, {1.0, 1.0, 0.95}, 0.57, 2.3},
    {{0.98, 0.70, 0.50}, {1.00, 0.90, 0.75}, {0.40, 0.50, 0.60}, {0.45, 0.35, 0.30}, 0.85, 0.48, 0.08, {1.0, 0.96, 0.85}, 0.60, 3.9}};

Rgb shade(const Scene& s, double u, double v) {
    double hillLine = s.horizon - 0.10 - 0.07 * std::sin(u * 5.0 + s.hillPhase) - 0.04 * std::sin(u * 13.0 + 2 * s.hillPhase);
    if (v < s.horizon) {
        Rgb sky = mix(s.skyTop, s.skyHorizon, v / s.horizon);
        double dx = (u - s.sunX) * 4.0 / 3.0, dy = v - s.sunY;
        double d = std::sqrt(dx * dx + dy * dy);
        if (s.sunRadius > 0) {
            if (d < s.sunRadius) sky = s.sun;
            else sky = mix(sky, s.sun, 0.35 * std::exp(-(d - s.sunRadius) * 14.0));
        }
        // The headland slopes down into the sea on its right.
        hillLine += std::max(0.0, u - (0.55 + 0.3 * std::sin(s.hillPhase))) * 0.9;
        bool onHill = v > hillLine;
        return onHill ? mix(s.hills, sky, 0.15 * (s.horizon - v) / 0.2) : sky;
    }
    double depth = (v - s.horizon) / (1.0 - s.horizon);
    Rgb sea = mix(mix(s.skyHorizon, s.sea, 0.7), s.sea, depth);
    double glint = std::sin(u * 90.0 + depth * 40.0) * std::sin(depth * 120.0 + u * 7.0);
    bool underSun = s.sunRadius > 0 && std::abs(u - s.sunX) < 0.08 + depth * 0.1;
    if (glint > 0.92 && underSun) sea = mix(sea, s.sun, 0.8);
    else if (glint > 0.97) sea = mix(sea, {1, 1, 1}, 0.25);
    return sea;
}

platform::Bytes drawContactSheet() {
    int width = kColumns * kTileWidth + (kColumns + 1) * kGutter;
    int height = kRows * kTileHeight + (kRows + 1) * kGutter;
    platform::RgbImage image(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto* p = image.at(x, y);
            p[0] = p[1] = p[2] = 28;  // dark mat between the pictures
        }
    for (int row = 0; row < kRows; ++row)
        for (int column = 0; column < kColumns; ++column) {
            const Scene& scene = kScenes[row * kColumns + column];
            int x0 = kGutter + column * (kTileWidth + kGutter), y0 = kGutter + row * (kTileHeight + kGutter);
            for (int y = 0; y < kTileHeight; ++y)
                for (int x = 0; x < kTileWidth; ++x) {
                    Rgb c = shade(scene, (x + 0.5) / kTileWidth, (y + 0.5) / kTileHeight);
                    auto* p = image.at(x0 + x, y0 + y);
                    p[0] = static_cast<std::uint8_t>(std::clamp(c.r, 0.0, 1.0) * 255);
                    p[1] = static_cast<std::uint8_t>(std::clamp(c.g, 0.0, 1.0) * 255);
                    p[2] = static_cast<std::uint8_t>(std::clamp(c.b, 0.0, 1.0) * 255);
                }
        }
    return platform::encodeJpeg(image, 85);
}

LibraryPreviewSummary::Details sampleDetails() {
    LibraryPreviewSummary::Details d;
    d.photos = 1192;
    d.videos = 92;
    d.livePhotos = 214;
    d.raws = 388;
    d.spherical = 6;
    d.astro = 41;
    d.earliestCapture = utc(2019, 3, 14, 7, 12);
    d.latestCapture = utc(2026, 11, 28, 16, 40);
    d.cameras = {{"FUJIFILM X-T5", 612}, {"iPhone 15 Pro", 401}, {"Sony RX100 VII", 188}, {"DJI Mini 4 Pro", 83}};
    d.copiedInside = 1104;
    d.copiedInsideBytes = 38'412'604'211;
    d.referenced = 180;
    d.referencedPlaces = {{"Archive Drive", 150}, {"Pictures", 30}};
    d.albums = 23;
    d.smartAlbums = 4;
    d.projects = 6;
    d.keywords = 118;
    d.rated = 402;
    d.fiveStars = 37;
    d.flagged = 96;
    d.rejected = 12;
    d.peopleNamed = 14;
    d.unavailable = 3;
    d.recentlyRemoved = 5;
    d.writtenBy = "Oakenmere 0.1.0";
    for (int i = 0; i < kColumns * kRows; ++i) d.contactSheet.push_back(stableUuid("Coastline item " + std::to_string(i)));
    return d;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-sample-library DESTINATION.oakenmere\n");
        return 2;
    }
    std::filesystem::path destination = argv[1];
    try {
        if (!platform::makeFolder(destination, 0755)) {
            std::fprintf(stderr, "make-sample-library: %s cannot be created (it must not exist yet)\n", destination.c_str());
            return 1;
        }
        const platform::Uuid libraryID = stableUuid("Coastline library");
        platform::PropertyListDictionary info;
        info.setInteger("formatVersion", 1);
        info.setString("identifier", libraryID.string());
        info.setString("name", destination.stem().string());
        info.setDate("createdAt", utc(2019, 3, 14, 6, 55));
        info.setString("formatWrittenBy", "0.1.0");  // the version label, as the program writes it
        auto infoBytes = info.binary();
        platform::writeNewFile(platform::openDirectory(destination), "Info.plist", infoBytes);

        LibraryPreviewSummary summary(libraryID, 4182, 1284, 1371, utc(2026, 11, 30, 18, 42), sampleDetails());
        LibraryBundle::LibraryPreviewSummaryStore store;
        store.write(summary, drawContactSheet(), destination);
        std::printf("%s\n", destination.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make-sample-library: %s\n", error.what());
        return 1;
    }
    return 0;
}
