#include "BrightloftQuickLook/terminal_renderer.h"

#include <algorithm>
#include <cstdio>

#include "platform/printable.h"
#include "platform/text.h"

namespace oakenmere::BrightloftQuickLook {

using namespace page;
using platform::displayWidth;
using platform::wrapText;

namespace {

// A rendered line: its bytes (with colour codes) and the columns it takes.
struct Line {
    std::string text;
    std::size_t width = 0;
};
using Block = std::vector<Line>;

// Points per terminal column, for turning the page's spacing into blank lines and gaps.
constexpr double kPointsPerColumn = 7;
// Wide enough to tell the pictures apart, short enough to leave the facts on screen.
// Fewer columns than this beside the labels and the rows are laid out one under another.
constexpr std::size_t kNarrowestValue = 16;
constexpr std::size_t kLargestPictureColumns = 48;

class Renderer {
public:
    explicit Renderer(const TerminalOptions& options) : options_(options) {}

    Block node(const Node& n, std::size_t width) {
        return std::visit([&](const auto& value) { return render(value, width); }, n);
    }

private:
    std::string styled(const std::string& text, Tone tone, bool bold) const {
        if (!options_.colour || text.empty()) return text;
        std::string codes;
        if (bold) codes += "1;";
        if (tone == Tone::secondary) codes += "2;";
        if (tone == Tone::orange) codes += "38;5;208;";
        if (codes.empty()) return text;
        codes.pop_back();
        return "\x1b[" + codes + "m" + text + "\x1b[0m";
    }

    static const char* glyph(const std::string& symbol) {
        if (symbol == "photo.stack") return "\u25A4";               // ▤
        if (symbol == "exclamationmark.triangle") return "\u26A0";  // ⚠
        return "\u2022";
    }

    Block render(const Text& t, std::size_t width) {
        // Page text carries names from the library, which must not steer the terminal; only the
        // colour codes added below may.
        auto lines = wrapText(platform::printable(t.text), width);
        if (t.lineLimit > 0 && lines.size() > static_cast<std::size_t>(t.lineLimit)) {
            lines.resize(static_cast<std::size_t>(t.lineLimit));
            lines.back() = platform::withEllipsis(lines.back(), width, platform::Keep::start);
        }
        Block block;
        bool bold = t.weight == Weight::semibold || t.font == Font::title;
        for (auto& line : lines) block.push_back({styled(line, t.tone, bold), displayWidth(line)});
        return block;
    }

    Block render(const Symbol& s, std::size_t) { return {{styled(glyph(s.name), s.tone, false), 1}}; }

    Block render(const Label& l, std::size_t width) {
        // The symbol hangs in front of the first line; later lines line up with the text.
        Block text = render(l.text, width > 2 ? width - 2 : 1);
        Block block;
        for (std::size_t i = 0; i < text.size(); ++i) {
            std::string prefix = i == 0 ? styled(glyph(l.symbol.name), l.symbol.tone, false) + " " : "  ";
            block.push_back({prefix + text[i].text, text[i].width + 2});
        }
        return block;
    }

    Block render(const Grid& g, std::size_t width) {
        std::size_t labelWidth = 0;
        for (const auto& row : g.rows) labelWidth = std::max(labelWidth, displayWidth(row.label.text));
        std::size_t gap = std::max<std::size_t>(1, static_cast<std::size_t>(g.columnSpacing / kPointsPerColumn + 0.5));
        Block block;
        if (width < labelWidth + gap + kNarrowestValue) {
            // Too narrow for two columns: each label above its value.
            for (const auto& row : g.rows) {
                Block label = render(row.label, width);
                block.insert(block.end(), label.begin(), label.end());
                for (auto& line : render(row.value, width > 2 ? width - 2 : 1)) block.push_back({"  " + line.text, line.width + 2});
            }
            return block;
        }
        std::size_t valueWidth = width - labelWidth - gap;
        for (const auto& row : g.rows) {
            Block label = render(row.label, labelWidth);
            Block value = render(row.value, valueWidth);
            for (std::size_t i = 0; i < std::max(label.size(), value.size()); ++i) {
                // Labels line up on their trailing edge.
                Line l = i < label.size() ? label[i] : Line{};
                std::string text = std::string(labelWidth - std::min(labelWidth, l.width), ' ') + l.text + std::string(gap, ' ') +
                                   (i < value.size() ? value[i].text : "");
                block.push_back({text, labelWidth + gap + (i < value.size() ? value[i].width : 0)});
            }
        }
        return block;
    }

    Block render(const Image& image, std::size_t width) {
        if (!options_.colour) return render(Text{.text = "[" + image.accessibilityLabel + "]", .tone = Tone::secondary}, width);
        return halfBlocks(image.image->pixels, std::min(width, kLargestPictureColumns));
    }

    // Each character cell shows two pixels, one above the other: the upper as the foreground of
    // "▀", the lower as the background. Pixels are averaged over the area each one covers.
    static Block halfBlocks(const platform::RgbImage& image, std::size_t columns) {
        const std::size_t rows =
            std::max<std::size_t>(1, columns * static_cast<std::size_t>(image.height) / static_cast<std::size_t>(image.width) / 2);
        auto average = [&](std::size_t cx, std::size_t py, std::size_t pixelRows) {
            std::size_t x0 = cx * image.width / columns, x1 = std::max(x0 + 1, (cx + 1) * image.width / columns);
            std::size_t y0 = py * image.height / pixelRows, y1 = std::max(y0 + 1, (py + 1) * image.height / pixelRows);
            unsigned long sum[3] = {0, 0, 0}, count = 0;
            for (std::size_t y = y0; y < y1; ++y)
                for (std::size_t x = x0; x < x1; ++x) {
                    const auto* p = &image.pixels[(y * image.width + x) * 3];
                    sum[0] += p[0], sum[1] += p[1], sum[2] += p[2], ++count;
                }
            char buffer[24];
            std::snprintf(buffer, sizeof buffer, "%lu;%lu;%lu", sum[0] / count, sum[1] / count, sum[2] / count);
            return std::string(buffer);
        };
        Block block;
        for (std::size_t row = 0; row < rows; ++row) {
            std::string text;
            for (std::size_t column = 0; column < columns; ++column)
                text +=
                    "\x1b[38;2;" + average(column, row * 2, rows * 2) + "m\x1b[48;2;" + average(column, row * 2 + 1, rows * 2) + "m\u2580";
            block.push_back({text + "\x1b[0m", columns});
        }
        return block;
    }

    Block render(const Stack& s, std::size_t width) { return s.axis == Stack::Axis::vertical ? vertical(s, width) : horizontal(s, width); }

    Block vertical(const Stack& s, std::size_t width) {
        // Section gaps become a blank line; tighter spacing keeps lines together.
        bool blankBetween = s.spacing >= 12;
        Block block;
        for (const auto& child : s.children) {
            Block part = node(child, width);
            if (part.empty()) continue;
            if (blankBetween && !block.empty()) block.push_back({});
            block.insert(block.end(), part.begin(), part.end());
        }
        return block;
    }

    Block horizontal(const Stack& s, std::size_t width) {
        // Children side by side, top lines aligned; the last child takes the remaining width.
        std::size_t gap = std::max<std::size_t>(1, static_cast<std::size_t>(s.spacing / kPointsPerColumn + 0.5));
        std::vector<Block> parts;
        std::vector<std::size_t> widths;
        std::size_t used = 0;
        for (std::size_t i = 0; i < s.children.size(); ++i) {
            bool last = i + 1 == s.children.size();
            std::size_t available = width > used ? width - used : 1;
            Block part = node(s.children[i], available);
            std::size_t partWidth = 0;
            for (const auto& line : part) partWidth = std::max(partWidth, line.width);
            parts.push_back(std::move(part));
            widths.push_back(partWidth);
            if (!last) used += partWidth + gap;
        }
        std::size_t height = 0;
        for (const auto& part : parts) height = std::max(height, part.size());
        Block block(height);
        for (std::size_t row = 0; row < height; ++row) {
            for (std::size_t i = 0; i < parts.size(); ++i) {
                Line cell = row < parts[i].size() ? parts[i][row] : Line{};
                block[row].text += cell.text;
                block[row].width += cell.width;
                if (i + 1 < parts.size()) {
                    std::size_t pad = widths[i] - cell.width + gap;
                    block[row].text += std::string(pad, ' ');
                    block[row].width += pad;
                }
            }
        }
        return block;
    }

    const TerminalOptions& options_;
};

}  // namespace

std::string renderTerminal(const Page& page, const TerminalOptions& options) {
    Renderer renderer(options);
    std::size_t columns = std::max<std::size_t>(options.columns, 20);
    std::string out;
    for (const auto& line : renderer.node(page.root, columns)) {
        std::string text = line.text;
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    }
    return out;
}

}  // namespace oakenmere::BrightloftQuickLook
