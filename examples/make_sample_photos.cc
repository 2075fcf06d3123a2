// Makes a folder of sample photos to import: real JPEG pictures drawn here, each with the Exif a
// camera or phone writes (through Exiv2), from four cameras and two edited exports, taken over
// several years, in nested folders, with the copies and repeated names a card, two phones and a
// backup leave behind, and one file that is not a photo. Every byte comes from the program, so
// the folder can be made again. Capture times live in the Exif (with their offsets), since git
// keeps no modification times.
//
//   make-sample-photos FOLDER
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exiv2/exiv2.hpp>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "catalogue/photo_metadata.h"
#include "platform/file_io.h"
#include "platform/jpeg.h"
#include "platform/posix_error.h"

using namespace oakenmere;

namespace {

namespace fs = std::filesystem;

struct Rgb {
    double r, g, b;
};
Rgb mix(Rgb a, Rgb b, double t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }
Rgb scale(Rgb a, double k) { return {a.r * k, a.g * k, a.b * k}; }
Rgb add(Rgb a, Rgb b, double k) { return {a.r + b.r * k, a.g + b.g * k, a.b + b.b * k}; }
double clamp01(double t) { return std::clamp(t, 0.0, 1.0); }
double smooth(double from, double to, double t) {
    t = clamp01((t - from) / (to - from));
    return t * t * (3 - 2 * t);
}
double fraction(double t) { return t - std::floor(t); }

// Noise from integer hashing, the same everywhere (the standard library's distributions are not).
std::uint32_t scramble(std::uint32_t h) {
    h ^= h >> 16;
    h *= 0x7feb352dU;
    h ^= h >> 15;
    h *= 0x846ca68bU;
    return h ^ (h >> 16);
}
double random01(double i, double j, std::uint32_t seed) {
    auto a = static_cast<std::uint32_t>(static_cast<std::int64_t>(i)), b = static_cast<std::uint32_t>(static_cast<std::int64_t>(j));
    return scramble(a * 0x9E3779B1U ^ scramble(b + seed * 0x85EBCA77U)) / 4294967296.0;
}
double noise(double x, double y, std::uint32_t seed) {
    double i = std::floor(x), j = std::floor(y), tx = smooth(0, 1, x - i), ty = smooth(0, 1, y - j);
    double top = random01(i, j, seed) + (random01(i + 1, j, seed) - random01(i, j, seed)) * tx;
    double bottom = random01(i, j + 1, seed) + (random01(i + 1, j + 1, seed) - random01(i, j + 1, seed)) * tx;
    return top + (bottom - top) * ty;
}
double fbm(double x, double y, std::uint32_t seed) {
    double sum = 0, weight = 0.5;
    for (int octave = 0; octave < 4; ++octave, weight /= 2, x *= 2, y *= 2) sum += weight * noise(x, y, seed + octave);
    return sum / 0.9375;
}

enum class Kind { coast, lighthouse, beach, mountains, forest, grove, city, dunes, meadow, fields, aurora, milkyWay };

// One picture. Positions: x across in picture heights (0 … aspect), y down (0 … 1).
struct Look {
    Kind kind;
    Rgb top, glow;                           // the sky overhead and at the horizon
    Rgb sun{1, 1, 1};                        // sun or moon
    double sunX = 0, sunY = 0, sunSize = 0;  // centre as fractions of the frame; no disc when 0
    Rgb land{}, water{}, accent{};           // ground, water, and the scene's own second colour
    double horizon = 0.6;                    // fraction of the height
    double clouds = 0;                       // 0 clear … 1 overcast
    bool night = false, lake = false;        // stars; the lower part mirrors the upper
    std::uint32_t seed = 1;
};

Rgb sky(const Look& k, double x, double y, double aspect) {
    Rgb c = mix(k.top, k.glow, std::pow(clamp01(y / k.horizon), 1.5));
    if (k.night) {
        double r = random01(std::floor(x * 240), std::floor(y * 240), k.seed + 11);
        if (r > 0.993) c = mix(c, {1, 1, 0.94}, (r - 0.993) / 0.007 * (1 - clamp01(y / k.horizon)));
    }
    if (k.sunSize > 0) {
        double d = std::hypot(x - k.sunX * aspect, y - k.sunY);
        c = d < k.sunSize ? k.sun : mix(c, k.sun, (k.night ? 0.25 : 0.5) * std::exp(-(d - k.sunSize) * 8));
    }
    if (k.clouds > 0) {
        double n = fbm(x * 2.2, y * 7, k.seed + 3);  // stretched along the horizon
        double cover = smooth(1 - k.clouds, 1.12 - k.clouds, n) * (1 - smooth(0.55, 1.0, y / k.horizon));
        Rgb cloud = scale(mix(mix(k.glow, k.sun, 0.4), {1, 1, 1}, 0.2), 0.82 + 0.5 * (n - 0.5));
        c = mix(c, cloud, cover * 0.9);
    }
    return c;
}

// Land behind land fades into the sky's horizon colour.
Rgb hazed(const Look& k, Rgb colour, double distance) { return mix(colour, k.glow, distance); }

// The top of a headland sloping down into the sea on the right, as a y for each x.
double headland(const Look& k, double x, double aspect) {
    double u = x / aspect, phase = k.seed * 0.37;
    return k.horizon - 0.10 - 0.07 * std::sin(u * 5 + phase) - 0.04 * std::sin(u * 13 + 2 * phase) +
           std::max(0.0, u - (0.55 + 0.3 * std::sin(phase))) * 0.9 + 0.006 * fbm(x * 30, 0, k.seed);
}

Rgb coast(const Look& k, double x, double y, double aspect) {
    if (y < k.horizon) {
        if (y < headland(k, x, aspect)) return sky(k, x, y, aspect);
        return mix(k.land, k.glow, 0.15 * (k.horizon - y) / 0.2);
    }
    double depth = (y - k.horizon) / (1 - k.horizon), distance = 1 / (depth + 0.08);
    Rgb sea = mix(mix(k.glow, k.water, 0.7), k.water, depth);
    // Wavelets on the water's surface, smaller with distance; those in the sun's path catch its light.
    double glint = noise((x - k.sunX * aspect) * distance * 14, distance * 40, k.seed + 8);
    double path = k.sunSize > 0 ? std::exp(-std::pow((x - k.sunX * aspect) / (0.05 + depth * 0.15), 2)) : 0;
    return mix(sea, path > 0.05 ? k.sun : Rgb{1, 1, 1}, smooth(0.62, 0.8, glint) * (0.15 + 0.7 * path));
}

Rgb lighthouse(const Look& k, double x, double y, double aspect) {
    Rgb c = coast(k, x, y, aspect);
    double towerX = 0.22 * aspect, base = headland(k, towerX, aspect) + 0.015, height = 0.24, lampY = base - height - 0.02;
    double up = (base - y) / height;  // 0 at the foot, 1 at the gallery
    if (up >= 0 && up <= 1 && std::abs(x - towerX) < 0.022 - 0.007 * up)
        c = static_cast<int>(up * 5) % 2 ? mix(k.accent, k.land, 0.3) : mix({0.92, 0.9, 0.86}, k.glow, 0.2);
    if (y >= lampY - 0.02 && y < base - height && std::abs(x - towerX) < 0.013) c = {0.12, 0.1, 0.1};
    double d = std::hypot(x - towerX, y - lampY);
    c = add(c, {1, 0.85, 0.5}, 0.9 * std::exp(-d * 45));
    if (x < towerX && std::abs((y - lampY) + (towerX - x) * 0.12) < (towerX - x) * 0.06)  // the beam, out to sea
        c = add(c, {1, 0.9, 0.7}, 0.16 * std::exp(-(towerX - x) * 1.5));
    return c;
}

Rgb beach(const Look& k, double x, double y, double aspect) {
    if (y < k.horizon) return sky(k, x, y, aspect);
    double shore = 0.70 + 0.03 * std::sin(x * 4 + k.seed) + 0.015 * std::sin(x * 11);
    if (y < shore) {
        double t = (y - k.horizon) / (shore - k.horizon);
        Rgb sea = mix(k.water, k.accent, std::pow(t, 1.6));
        double wave = fraction((shore - y) * 28 + 0.3 * std::sin(x * 9));
        if (t > 0.5 && wave < 0.12) sea = mix(sea, {1, 1, 1}, 0.45 * t);
        if (y > shore - 0.016 * (0.5 + fbm(x * 20, 1, k.seed))) sea = mix(sea, {0.97, 0.98, 0.97}, 0.85);  // foam
        return sea;
    }
    Rgb sand = scale(k.land, 0.92 + 0.16 * fbm(x * 40, y * 40, k.seed + 2));
    return y < shore + 0.035 ? mix(scale(sand, 0.84), k.top, 0.05) : sand;  // wet, then dry
}

// Rows of firs, the nearest row standing lowest; the tiers of branches give the edges their saw.
bool inFirs(double x, double y, double base, double tall, double spacing, std::uint32_t seed) {
    if (y >= base) return true;
    for (double i = std::floor(x / spacing) - 2; i <= std::floor(x / spacing) + 2; ++i) {
        double centre = (i + 0.2 + 0.6 * random01(i, 0, seed)) * spacing, height = tall * (0.6 + 0.6 * random01(i, 1, seed));
        double depth = (y - (base + 0.01 - height)) / height;  // 0 at the tip
        if (depth >= 0 && std::abs(x - centre) < 0.22 * height * std::min(depth, 1.0) * (0.7 + 0.3 * fraction(depth * 7))) return true;
    }
    return false;
}

// A skyline of steep peaks, roughened: its height above its base at x, and which way the face
// there is turned (1: to the light on the left, -1: away from it).
struct Skyline {
    double height, facing;
};
Skyline peaks(double x, std::uint32_t seed, double height, double width) {
    Skyline best{0, 0};
    for (double i = std::floor(x / width) - 3; i <= std::floor(x / width) + 3; ++i) {
        double peakX = (i + random01(i, 0, seed)) * width, peakHeight = height * (0.45 + 0.55 * random01(i, 1, seed));
        double here = peakHeight - std::abs(x - peakX) * (0.7 + 0.6 * random01(i, 2, seed));
        if (here > best.height) best = {here, std::tanh((peakX - x) / 0.004)};
    }
    best.height += height * 0.16 * (fbm(x * 9, 0.5, seed) - 0.5);
    return best;
}

Rgb mountains(const Look& k, double x, double y, double aspect) {
    Rgb c = sky(k, x, y, aspect);
    Skyline range = peaks(x, k.seed, 0.34, 0.38);
    if (y >= k.horizon - 0.07 - range.height) {
        double lit = 0.9 + 0.2 * range.facing + 0.15 * (fbm(x * 12, y * 30, k.seed + 4) - 0.5);
        Rgb rock = hazed(k, scale(k.land, 0.8), 0.45);
        double snowLine = k.horizon - 0.2 - 0.06 * fbm(x * 6, y * 3, k.seed + 5);
        if (y < snowLine) rock = mix(rock, mix({1, 1, 1}, k.sun, 0.3), 0.85);
        c = scale(rock, lit);
    }
    // A nearer slope with firs along its top.
    double nearTop = k.horizon - 0.015 - 0.07 * (0.5 + 0.5 * std::sin(x * 2.1 + k.seed));
    if (inFirs(x, y, nearTop, 0.08, 0.03, k.seed + 9)) c = hazed(k, scale(k.accent, 0.9 + 0.2 * noise(x * 60, y * 60, k.seed)), 0.1);
    if (y >= nearTop) c = scale(hazed(k, k.land, 0.08), 0.92 + 0.1 * fbm(x * 8, y * 40, k.seed + 7));
    return c;
}

Rgb forest(const Look& k, double x, double y, double aspect) {
    Rgb c = sky(k, x, y, aspect);
    double size = k.lake ? 0.45 : 1.0;
    for (int row = 0; row < 4; ++row) {
        double nearness = row / 3.0;
        double base = k.horizon - size * 0.18 * (1 - nearness);
        if (inFirs(x, y, base, size * (0.12 + 0.28 * nearness), size * (0.05 + 0.08 * nearness), k.seed + row * 17))
            c = hazed(k, scale(k.land, 0.9 + 0.15 * noise(x * 60, y * 60, k.seed)), 0.7 * (1 - nearness));
    }
    return c;
}

// Round-crowned trees in rows, each crown its own mix of the two colours.
Rgb grove(const Look& k, double x, double y, double aspect) {
    Rgb c = sky(k, x, y, aspect);
    double size = k.lake ? 0.5 : 1.3;
    for (int row = 0; row < 3; ++row) {
        double nearness = row / 2.0, base = k.horizon - size * 0.14 * (1 - nearness);
        double tall = size * (0.16 + 0.22 * nearness), spacing = size * (0.09 + 0.1 * nearness);
        std::uint32_t seed = k.seed + row * 23;
        if (y >= base) c = hazed(k, scale(mix(k.land, k.accent, 0.3), 0.55), 0.6 * (1 - nearness));
        for (double i = std::floor(x / spacing) - 2; i <= std::floor(x / spacing) + 2; ++i) {
            double centre = (i + 0.15 + 0.7 * random01(i, 0, seed)) * spacing, height = tall * (0.7 + 0.5 * random01(i, 1, seed));
            double radius = height * 0.42, crownY = base - height + radius;
            if (std::abs(x - centre) < 0.08 * radius && y > crownY && y < base + 0.01)
                c = hazed(k, {0.18, 0.12, 0.09}, 0.6 * (1 - nearness));
            double d = std::hypot(x - centre, y - crownY) / radius;
            if (d < 0.8 + 0.4 * fbm(x * 18, y * 18, seed + 3)) {
                Rgb leaves = mix(k.land, k.accent, random01(i, 2, seed));
                double shade = 1.1 - 0.35 * (y - crownY + radius) / (2 * radius) + 0.12 * (noise(x * 200, y * 200, seed) - 0.5);
                c = hazed(k, scale(leaves, shade), 0.6 * (1 - nearness));
            }
        }
    }
    return c;
}

Rgb city(const Look& k, double x, double y, double aspect) {
    Rgb c = sky(k, x, y, aspect);
    for (int layer = 0; layer < 2; ++layer) {
        double width = layer ? 0.075 : 0.045, column = x / width + layer * 0.5, i = std::floor(column), across = column - i;
        double r = random01(i, layer, k.seed), top = k.horizon - (layer ? 0.06 + 0.36 * r * r : 0.12 + 0.2 * r);
        bool spire = layer && r > 0.8 && std::abs(across - 0.45) < 0.04 && y > top - 0.06;
        if ((y < top && !spire) || across > 0.92) continue;
        Rgb wall = layer ? k.land : hazed(k, k.land, 0.3);
        double windowX = across * 6, windowY = (y - top) / 0.02;
        if (!spire && fraction(windowX) > 0.3 && fraction(windowX) < 0.75 && fraction(windowY) > 0.35 && windowY > 1) {
            double on = random01(i * 8 + std::floor(windowX), std::floor(windowY), k.seed + layer + 1);
            if (on < 0.38) wall = mix(k.accent, {1, 1, 1}, on);
        }
        c = wall;
    }
    return c;
}

Rgb dunes(const Look& k, double x, double y, double aspect) {
    Rgb c = sky(k, x, y, aspect);
    for (int layer = 0; layer < 3; ++layer) {
        double nearness = layer / 2.0;
        auto crest = [&](double at) {
            return k.horizon - 0.02 + 0.18 * nearness -
                   (0.08 + 0.08 * nearness) * (1 - std::pow(std::abs(std::sin(at * (2.6 - nearness) + k.seed + layer * 2.1)), 0.7));
        };
        if (y < crest(x)) continue;
        double slope = crest(x + 0.003) - crest(x - 0.003);
        double lit = 0.9 + 0.25 * std::tanh(slope * 50) * std::exp(-(y - crest(x)) / 0.1) +
                     0.03 * std::sin(y * 260 + 8 * std::sin(x * 10)) * nearness;
        c = hazed(k, scale(k.land, lit), 0.35 * (1 - nearness));
    }
    return c;
}

Rgb meadow(const Look& k, double x, double y, double aspect) {
    Rgb c = sky(k, x, y, aspect);
    if (y > k.horizon - 0.06 - 0.05 * std::sin(x * 3 + k.seed)) c = hazed(k, k.land, 0.45);
    auto hill = [&](double at) { return k.horizon + 0.06 - 0.09 * std::sin(at * 1.7 + k.seed * 0.5 + 1); };
    if (y > hill(x)) c = scale(k.land, 0.85 + 0.25 * fbm(x * 30, y * 70, k.seed + 1) + 0.1 * (y - hill(x)));
    double treeX = 0.64 * aspect, ground = hill(treeX), crownY = ground - 0.21, radius = 0.12;
    if (y > ground - 0.01 && std::hypot((x - treeX - 0.06) * 0.5, (y - ground - 0.02) * 2) < 0.05) c = scale(c, 0.7);  // its shade
    if (std::abs(x - treeX) < 0.009 && y > crownY && y < ground + 0.01) c = {0.2, 0.14, 0.1};
    if (std::hypot((x - treeX) * 0.85, y - crownY) < radius * (0.8 + 0.4 * fbm(x * 14, y * 14, k.seed + 9)))
        c = scale(k.accent, 1.15 - 0.45 * (y - crownY + radius) / (2 * radius) + 0.2 * (noise(x * 80, y * 80, k.seed) - 0.5));
    return c;
}

// Rows of lavender running to the horizon under a line of trees.
Rgb fields(const Look& k, double x, double y, double aspect) {
    Rgb c = sky(k, x, y, aspect);
    if (y > k.horizon - 0.012 - 0.045 * smooth(0.45, 0.7, fbm(x * 6, 0, k.seed)) * fbm(x * 40, 0, k.seed + 1))
        c = hazed(k, scale(k.land, 0.6), 0.25);
    if (y <= k.horizon) return c;
    double t = (y - k.horizon) / (1 - k.horizon), across = (x - 0.5 * aspect) / (t + 0.03);
    double row = smooth(0.3, 0.75, 0.5 + 0.5 * std::cos(across * 55));
    Rgb bloom = scale(k.accent, 0.8 + 0.35 * noise(x * 90, y * 90, k.seed));
    Rgb field = mix(k.land, bloom, 0.6 + (row - 0.6) * smooth(0.04, 0.25, t));
    return hazed(k, field, 0.6 * std::pow(1 - t, 4));
}

Rgb aurora(const Look& k, double x, double y, double aspect) {
    Rgb c = sky(k, x, y, aspect);
    double edge = 0.3 + 0.07 * std::sin(x * 3.1 + k.seed) + 0.035 * std::sin(x * 8.3 + 2.0 * k.seed), d = y - edge;
    double light = (d < 0 ? std::exp(d / 0.16) : std::exp(-d / 0.012)) * (0.55 + 0.45 * noise(x * 45, 0.5, k.seed + 4)) *
                   (0.6 + 0.4 * std::sin(x * 1.3 + k.seed));
    c = add(c, mix(k.accent, {0.7, 0.3, 0.85}, clamp01(-d / 0.3)), 0.85 * light);
    double hills = k.horizon - 0.06 - 0.18 * (0.5 + 0.5 * std::sin(x * 2.3 + k.seed)) - 0.03 * fbm(x * 8, 0, k.seed);
    if (y > hills) c = mix(scale(k.land, 0.8 + 0.3 * fbm(x * 20, y * 20, k.seed + 2)), k.accent, 0.08);
    return c;
}

Rgb milkyWay(const Look& k, double x, double y, double aspect) {
    Rgb c = sky(k, x, y, aspect);
    double across = ((x - 0.25 * aspect) * 1.0 + (y - 1.0) * 0.55) / std::hypot(1.0, 0.55);  // from a line leaning right
    double band = std::exp(-across * across / 0.018) * (0.55 + 0.6 * fbm(x * 5, y * 5, k.seed));
    band *= 1 - 0.7 * smooth(0.5, 0.68, fbm(x * 9 + 3, y * 9, k.seed + 1));  // dust lanes
    c = add(c, {0.85, 0.8, 0.92}, 0.45 * band);
    double r = random01(std::floor(x * 300), std::floor(y * 300), k.seed + 5);
    if (r > 0.995 - 0.02 * band) c = mix(c, {1, 1, 1}, 0.7);
    double ridge = k.horizon - 0.05 - 0.08 * fbm(x * 3, 0, k.seed + 2);
    if (inFirs(x, y, ridge, 0.09, 0.05, k.seed + 3)) c = k.land;
    return c;
}

Rgb upper(const Look& k, double x, double y, double aspect) {
    switch (k.kind) {
    case Kind::coast: return coast(k, x, y, aspect);
    case Kind::lighthouse: return lighthouse(k, x, y, aspect);
    case Kind::beach: return beach(k, x, y, aspect);
    case Kind::mountains: return mountains(k, x, y, aspect);
    case Kind::forest: return forest(k, x, y, aspect);
    case Kind::grove: return grove(k, x, y, aspect);
    case Kind::city: return city(k, x, y, aspect);
    case Kind::dunes: return dunes(k, x, y, aspect);
    case Kind::meadow: return meadow(k, x, y, aspect);
    case Kind::fields: return fields(k, x, y, aspect);
    case Kind::aurora: return aurora(k, x, y, aspect);
    case Kind::milkyWay: return milkyWay(k, x, y, aspect);
    }
    return {};
}

// Still water below the horizon mirrors what stands above it, broken by ripples.
Rgb scene(const Look& k, double x, double y, double aspect) {
    if (!k.lake || y <= k.horizon) return upper(k, x, y, aspect);
    double depth = y - k.horizon, ripple = 0.004 * std::sin(depth * 600 + 3 * std::sin(x * 40)) * (0.3 + depth * 3);
    return mix(upper(k, x + ripple, k.horizon - depth * 0.9, aspect), k.water, 0.3 + 0.4 * depth / (1 - k.horizon));
}

// Four samples a pixel smooth the edges; the corners darken a little, as through a lens.
platform::RgbImage draw(const Look& look, int width, int height) {
    platform::RgbImage image(width, height);
    double aspect = double(width) / height;
    for (int py = 0; py < height; ++py)
        for (int px = 0; px < width; ++px) {
            Rgb sum{0, 0, 0};
            for (double oy : {0.25, 0.75})
                for (double ox : {0.25, 0.75}) sum = add(sum, scene(look, (px + ox) / height, (py + oy) / height, aspect), 0.25);
            double u = (px + 0.5) / width - 0.5, v = (py + 0.5) / height - 0.5;
            sum = scale(sum, 1 - 0.45 * (u * u + v * v));
            auto* p = image.at(px, py);
            p[0] = static_cast<std::uint8_t>(clamp01(sum.r) * 255 + 0.5);
            p[1] = static_cast<std::uint8_t>(clamp01(sum.g) * 255 + 0.5);
            p[2] = static_cast<std::uint8_t>(clamp01(sum.b) * 255 + 0.5);
        }
    return image;
}

struct Camera {
    const char* make;
    const char* model;
};
constexpr Camera kCanon{"Canon", "Canon EOS 5D Mark IV"}, kFujifilm{"FUJIFILM", "X-T4"}, kIphone{"Apple", "iPhone 12"},
    kPixel{"Google", "Pixel 8"};

struct Shot {
    const char* path;                            // inside the folder
    const Camera* camera;                        // nothing for a picture exported by an editor
    int year, month, day, hour, minute, second;  // the wall clock where it was taken
    int offsetMinutes;                           // that clock's offset from UTC
    int width, height;
    Look look;
};

// clang-format off
const Shot kShots[] = {
    {"DCIM/100CANON/IMG_0001.JPG", &kCanon, 2019, 3, 16, 7, 42, 10, 0, 640, 427,
     {.kind = Kind::coast, .top = {0.42, 0.52, 0.76}, .glow = {1.0, 0.8, 0.62}, .sun = {1, 0.94, 0.78}, .sunX = 0.74, .sunY = 0.48,
      .sunSize = 0.06, .land = {0.25, 0.21, 0.25}, .water = {0.2, 0.33, 0.5}, .horizon = 0.6, .clouds = 0.35, .seed = 1}},
    {"DCIM/100CANON/IMG_0002.JPG", &kCanon, 2019, 8, 3, 14, 5, 33, 120, 640, 427,
     {.kind = Kind::mountains, .top = {0.2, 0.43, 0.8}, .glow = {0.76, 0.86, 0.96}, .land = {0.2, 0.34, 0.2},
      .water = {0.08, 0.26, 0.36}, .accent = {0.05, 0.15, 0.09}, .horizon = 0.64, .clouds = 0.3, .lake = true, .seed = 2}},
    {"DCIM/100CANON/IMG_0003.JPG", &kCanon, 2020, 5, 22, 6, 18, 50, 120, 640, 427,
     {.kind = Kind::forest, .top = {0.6, 0.68, 0.76}, .glow = {0.94, 0.9, 0.82}, .sun = {1, 0.97, 0.86}, .sunX = 0.7, .sunY = 0.32,
      .sunSize = 0.05, .land = {0.07, 0.19, 0.13}, .horizon = 0.97, .seed = 3}},
    {"DCIM/100CANON/IMG_0004.JPG", &kCanon, 2020, 11, 7, 19, 31, 2, 60, 640, 427,
     {.kind = Kind::city, .top = {0.02, 0.03, 0.09}, .glow = {0.3, 0.2, 0.24}, .sun = {0.95, 0.95, 0.88}, .sunX = 0.8, .sunY = 0.16,
      .sunSize = 0.035, .land = {0.05, 0.05, 0.08}, .water = {0.03, 0.05, 0.1}, .accent = {1, 0.8, 0.45}, .horizon = 0.66,
      .night = true, .lake = true, .seed = 4}},
    {"Fujifilm/2021/DSCF0412.JPG", &kFujifilm, 2021, 4, 11, 17, 50, 12, 240, 640, 427,
     {.kind = Kind::dunes, .top = {0.33, 0.43, 0.72}, .glow = {1.0, 0.72, 0.46}, .sun = {1, 0.9, 0.7}, .sunX = 0.74, .sunY = 0.42,
      .sunSize = 0.05, .land = {0.88, 0.56, 0.32}, .horizon = 0.55, .seed = 5}},
    {"Fujifilm/2021/DSCF0587.JPG", &kFujifilm, 2021, 6, 27, 11, 20, 45, 60, 640, 427,
     {.kind = Kind::meadow, .top = {0.2, 0.47, 0.85}, .glow = {0.78, 0.88, 0.98}, .land = {0.36, 0.58, 0.22},
      .accent = {0.12, 0.27, 0.1}, .horizon = 0.6, .clouds = 0.5, .seed = 6}},
    {"Fujifilm/2023/DSCF3012.JPG", &kFujifilm, 2023, 7, 19, 20, 44, 3, 120, 640, 427,
     {.kind = Kind::mountains, .top = {0.32, 0.36, 0.62}, .glow = {1.0, 0.7, 0.62}, .sun = {1, 0.72, 0.62}, .land = {0.3, 0.22, 0.28},
      .water = {0.22, 0.2, 0.34}, .accent = {0.12, 0.09, 0.14}, .horizon = 0.62, .clouds = 0.2, .lake = true, .seed = 7}},
    {"Fujifilm/2023/DSCF3398.JPG", &kFujifilm, 2023, 2, 12, 22, 15, 37, 60, 640, 427,
     {.kind = Kind::aurora, .top = {0.01, 0.02, 0.06}, .glow = {0.05, 0.1, 0.16}, .land = {0.5, 0.56, 0.66},
      .water = {0.02, 0.04, 0.07}, .accent = {0.25, 0.95, 0.55}, .horizon = 0.68, .night = true, .lake = true, .seed = 8}},
    {"Phone/IMG_0001.JPG", &kIphone, 2021, 9, 4, 20, 2, 11, -240, 480, 360,
     {.kind = Kind::city, .top = {0.1, 0.16, 0.4}, .glow = {0.62, 0.48, 0.6}, .land = {0.08, 0.09, 0.15}, .water = {0.08, 0.12, 0.26},
      .accent = {1, 0.86, 0.56}, .horizon = 0.64, .lake = true, .seed = 9}},
    {"Phone/IMG_0002.JPG", &kIphone, 2022, 10, 15, 15, 33, 27, -240, 480, 360,
     {.kind = Kind::grove, .top = {0.28, 0.5, 0.82}, .glow = {0.84, 0.9, 0.96}, .land = {0.86, 0.34, 0.1},
      .water = {0.12, 0.22, 0.3}, .accent = {0.96, 0.76, 0.2}, .horizon = 0.58, .clouds = 0.3, .lake = true, .seed = 10}},
    {"Phone/IMG_0003.JPG", &kIphone, 2023, 7, 22, 12, 48, 9, 60, 480, 360,
     {.kind = Kind::beach, .top = {0.14, 0.44, 0.85}, .glow = {0.76, 0.88, 0.98}, .land = {0.94, 0.85, 0.67},
      .water = {0.04, 0.28, 0.54}, .accent = {0.24, 0.8, 0.78}, .horizon = 0.42, .clouds = 0.35, .seed = 11}},
    {"Phone/IMG_0004.JPG", &kIphone, 2024, 2, 3, 17, 20, 55, 0, 360, 480,
     {.kind = Kind::lighthouse, .top = {0.16, 0.2, 0.42}, .glow = {0.98, 0.62, 0.46}, .sun = {1, 0.8, 0.56}, .sunX = 0.72,
      .sunY = 0.6, .sunSize = 0.04, .land = {0.15, 0.13, 0.17}, .water = {0.2, 0.22, 0.38}, .accent = {0.8, 0.16, 0.14},
      .horizon = 0.64, .clouds = 0.25, .seed = 12}},
    {"Pixel 8/DCIM/Camera/PXL_20240706_052744118.jpg", &kPixel, 2024, 7, 6, 5, 27, 44, 120, 480, 360,
     {.kind = Kind::forest, .top = {0.52, 0.58, 0.76}, .glow = {1.0, 0.84, 0.7}, .sun = {1, 0.92, 0.8}, .sunX = 0.35, .sunY = 0.5,
      .sunSize = 0.04, .land = {0.1, 0.17, 0.16}, .water = {0.46, 0.45, 0.52}, .horizon = 0.6, .lake = true, .seed = 13}},
    {"Pixel 8/DCIM/Camera/PXL_20241221_154102660.jpg", &kPixel, 2024, 12, 21, 15, 41, 2, 60, 480, 360,
     {.kind = Kind::mountains, .top = {0.24, 0.44, 0.78}, .glow = {0.92, 0.86, 0.88}, .sun = {1, 0.9, 0.78}, .sunX = 0.15,
      .sunY = 0.42, .sunSize = 0.035, .land = {0.86, 0.89, 0.96}, .accent = {0.07, 0.15, 0.11}, .horizon = 0.7, .seed = 14}},
    {"Pixel 8/DCIM/Camera/PXL_20250329_223015004.jpg", &kPixel, 2025, 3, 29, 22, 30, 15, 0, 480, 360,
     {.kind = Kind::milkyWay, .top = {0.01, 0.015, 0.05}, .glow = {0.08, 0.08, 0.17}, .land = {0.01, 0.01, 0.02}, .horizon = 0.9,
      .night = true, .seed = 15}},
    {"Pixel 8/DCIM/Camera/PXL_20250808_201247391.jpg", &kPixel, 2025, 8, 8, 20, 12, 47, 120, 480, 360,
     {.kind = Kind::fields, .top = {0.3, 0.34, 0.62}, .glow = {1.0, 0.7, 0.46}, .sun = {1, 0.88, 0.62}, .sunX = 0.62, .sunY = 0.5,
      .sunSize = 0.05, .land = {0.3, 0.32, 0.13}, .accent = {0.56, 0.4, 0.82}, .horizon = 0.52, .seed = 16}},
    {"Exports/Sunset panorama.jpg", nullptr, 2022, 8, 28, 20, 40, 0, 120, 720, 300,
     {.kind = Kind::coast, .top = {0.3, 0.18, 0.4}, .glow = {1.0, 0.55, 0.35}, .sun = {1, 0.85, 0.55}, .sunX = 0.68, .sunY = 0.56,
      .sunSize = 0.07, .land = {0.12, 0.08, 0.12}, .water = {0.25, 0.18, 0.32}, .horizon = 0.62, .clouds = 0.3, .seed = 17}},
    {"Exports/Orchard in bloom (edit).jpg", nullptr, 2020, 4, 18, 10, 5, 0, 60, 480, 480,
     {.kind = Kind::grove, .top = {0.3, 0.52, 0.86}, .glow = {0.84, 0.9, 0.98}, .land = {0.98, 0.8, 0.86},
      .accent = {0.98, 0.97, 0.95}, .horizon = 0.97, .clouds = 0.25, .seed = 18}},
};

// Copies as a backup, a shared album or a second import leave them: the same bytes under other names.
const std::pair<const char*, const char*> kCopies[] = {
    {"Holiday 2023/DSCF3012.JPG", "Fujifilm/2023/DSCF3012.JPG"},
    {"Holiday 2023/From Sam/beach.jpg", "Phone/IMG_0003.JPG"},
    {"Backup/Old card/IMG_0003 copy.JPG", "DCIM/100CANON/IMG_0003.JPG"},
};
// clang-format on

constexpr const char* kNotes =
    "Sample photos to try an import with.\n"
    "\n"
    "DCIM/ is a camera's card, Phone/ and Pixel 8/ are two phones, Fujifilm/ is another camera.\n"
    "Exports/ were saved by an editor and name no camera. Holiday 2023/ and Backup/ hold copies\n"
    "of photos that are elsewhere too. This file is not a photo.\n";

std::time_t utcSeconds(const Shot& shot) {
    using namespace std::chrono;
    const auto date = year{shot.year} / month{static_cast<unsigned>(shot.month)} / day{static_cast<unsigned>(shot.day)};
    const std::time_t days = sys_days(date).time_since_epoch().count();
    return days * 86400 + shot.hour * 3600 + shot.minute * 60 + shot.second - shot.offsetMinutes * 60;
}

// The picture with the Exif its camera (or the editor) wrote, put in by Exiv2 in memory.
platform::Bytes photo(const Shot& shot) {
    platform::Bytes jpeg = platform::encodeJpeg(draw(shot.look, shot.width, shot.height), 85);
    std::unique_ptr<Exiv2::Image> image(Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size())).release());
    char taken[32], offset[16];
    std::snprintf(taken, sizeof taken, "%04d:%02d:%02d %02d:%02d:%02d", shot.year, shot.month, shot.day, shot.hour, shot.minute,
                  shot.second);
    std::snprintf(offset, sizeof offset, "%c%02d:%02d", shot.offsetMinutes < 0 ? '-' : '+', std::abs(shot.offsetMinutes) / 60,
                  std::abs(shot.offsetMinutes) % 60);
    Exiv2::ExifData exif;
    if (shot.camera) {
        exif["Exif.Image.Make"] = std::string(shot.camera->make);
        exif["Exif.Image.Model"] = std::string(shot.camera->model);
    }
    exif["Exif.Image.Orientation"] = std::uint16_t{1};
    exif["Exif.Photo.DateTimeOriginal"] = std::string(taken);
    exif["Exif.Photo.OffsetTimeOriginal"] = std::string(offset);
    exif["Exif.Photo.PixelXDimension"] = static_cast<std::uint32_t>(shot.width);
    exif["Exif.Photo.PixelYDimension"] = static_cast<std::uint32_t>(shot.height);
    image->setExifData(exif);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    Exiv2::DataBuf written = io.read(static_cast<long>(io.size()));
    return platform::Bytes(written.pData_, written.pData_ + written.size_);
}

void writeFile(const fs::path& folder, const std::string& relative, platform::ByteView bytes) {
    fs::path file = folder / relative;
    platform::makeFolderTree(file.parent_path(), 0755);
    auto parent = platform::openDirectory(file.parent_path());
    platform::writeNewFile(parent, file.filename().string(), bytes);
}

// What the catalogue will read of each photo is what it was given: a reader that disagrees is a
// sample that shows the wrong thing.
void checkReadBack(const fs::path& folder, const Shot& shot) {
    auto read = catalogue::readMetadata(folder / shot.path);
    bool agrees = read.captureDateFromMetadata && read.captureDate == platform::Date::fromUnixSeconds(double(utcSeconds(shot))) &&
                  read.cameraMake == (shot.camera ? shot.camera->make : "") &&
                  read.cameraModel == (shot.camera ? shot.camera->model : "") && read.pixelWidth == shot.width &&
                  read.pixelHeight == shot.height;
    auto picture = catalogue::displayablePicture(folder / shot.path);
    if (!agrees || !picture || !platform::decodeJpeg(picture->jpeg))
        throw std::runtime_error(std::string(shot.path) + " does not read back");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-sample-photos FOLDER\n");
        return 2;
    }
    fs::path folder = argv[1];
    try {
        if (!platform::makeFolder(folder, 0755)) {
            std::fprintf(stderr, "make-sample-photos: %s already exists; give a folder that does not\n", folder.c_str());
            return 1;
        }
        for (const Shot& shot : kShots) {
            platform::Bytes bytes = photo(shot);
            writeFile(folder, shot.path, bytes);
            for (const auto& [copy, original] : kCopies)
                if (std::string(original) == shot.path) writeFile(folder, copy, bytes);
        }
        writeFile(folder, "notes.txt", platform::asBytes(std::string_view(kNotes)));
        for (const Shot& shot : kShots) checkReadBack(folder, shot);
        std::printf("%s\n", folder.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make-sample-photos: %s\n", error.what());
        return 1;
    }
    return 0;
}
