#include "platform/text.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

namespace oakenmere::platform {

namespace {

// One character iterator per thread: creating one loads ICU's rules, which is slow.
icu::BreakIterator& characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !it) throw std::runtime_error("ICU character boundaries are unavailable.");
        return it;
    }();
    return *iterator;
}

icu::UnicodeString unicode(std::string_view utf8) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

template <typename Visit>
void forEachCluster(const icu::UnicodeString& text, Visit visit) {
    icu::BreakIterator& it = characterIterator();
    it.setText(text);
    int32_t start = it.first();
    for (int32_t end = it.next(); end != icu::BreakIterator::DONE; start = end, end = it.next()) {
        if (!visit(start, end)) break;
    }
}

// Calls `text` with each stretch of well-formed UTF-8 and `byte` with each byte of an
// ill-formed sequence, in order.
template <typename Text, typename Byte>
void forEachRun(std::string_view bytes, Text text, Byte byte) {
    const auto length = static_cast<int32_t>(bytes.size());
    int32_t start = 0;
    for (int32_t next = 0; next < length;) {
        const int32_t at = next;
        UChar32 c;
        U8_NEXT(bytes.data(), next, length, c);
        if (c >= 0) continue;
        if (at > start) text(bytes.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(at - start)));
        for (int32_t i = at; i < next; ++i) byte(static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]));
        start = next;
    }
    if (length > start) text(bytes.substr(static_cast<std::size_t>(start)));
}

}  // namespace

std::vector<std::string> graphemeClustersKeepingBytes(std::string_view bytes) {
    std::vector<std::string> clusters;
    forEachRun(
        bytes,
        [&](std::string_view run) {
            for (auto& cluster : graphemeClusters(run)) clusters.push_back(std::move(cluster));
        },
        [&](unsigned char b) { clusters.emplace_back(1, static_cast<char>(b)); });
    return clusters;
}

std::string escapingInvalidUtf8(std::string_view bytes) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    forEachRun(
        bytes, [&](std::string_view run) { out += run; },
        [&](unsigned char b) {
            out += {'\\', 'x', hex[b >> 4], hex[b & 0xF]};
        });
    return out;
}

bool isValidUtf8(std::string_view bytes) {
    // Measuring the UTF-16 length is enough: ICU reports malformed input while it measures.
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    return status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING || U_SUCCESS(status);
}

std::size_t graphemeCount(std::string_view utf8) {
    icu::UnicodeString text = unicode(utf8);
    std::size_t count = 0;
    forEachCluster(text, [&](int32_t, int32_t) {
        ++count;
        return true;
    });
    return count;
}

bool hasAtMostGraphemes(std::string_view utf8, std::size_t limit) {
    // A character takes at least one byte, so short strings need no segmentation.
    if (utf8.size() <= limit) return true;
    icu::UnicodeString text = unicode(utf8);
    std::size_t count = 0;
    forEachCluster(text, [&](int32_t, int32_t) { return ++count <= limit; });
    return count <= limit;
}

std::vector<std::string> graphemeClusters(std::string_view utf8) {
    icu::UnicodeString text = unicode(utf8);
    std::vector<std::string> clusters;
    forEachCluster(text, [&](int32_t start, int32_t end) {
        std::string cluster;
        text.tempSubStringBetween(start, end).toUTF8String(cluster);
        clusters.push_back(std::move(cluster));
        return true;
    });
    return clusters;
}

std::string lowercased(std::string_view utf8) {
    icu::UnicodeString text = unicode(utf8);
    text.toLower(icu::Locale::getRoot());
    std::string out;
    text.toUTF8String(out);
    return out;
}

namespace {

std::size_t columnsOf(UChar32 c) {
    auto category = u_charType(c);
    if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK || category == U_FORMAT_CHAR) return 0;
    if (c == 0x200D || (c >= 0xFE00 && c <= 0xFE0F)) return 0;  // joiners and variation selectors
    auto width = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
    return (width == U_EA_WIDE || width == U_EA_FULLWIDTH) ? 2 : 1;
}

}  // namespace

std::size_t displayWidth(std::string_view utf8) {
    icu::UnicodeString text = unicode(utf8);
    std::size_t width = 0;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) width += columnsOf(text.char32At(i));
    return width;
}

std::string withEllipsis(std::string_view utf8, std::size_t columns, Keep keep) {
    auto characters = graphemeClusters(utf8);
    if (keep == Keep::end) std::reverse(characters.begin(), characters.end());
    std::vector<std::string> kept;
    std::size_t used = 0;
    for (auto& character : characters) {
        std::size_t w = displayWidth(character);
        if (used + w + 1 > columns) break;
        used += w;
        kept.push_back(std::move(character));
    }
    if (keep == Keep::end) std::reverse(kept.begin(), kept.end());
    std::string out = keep == Keep::end ? "\u2026" : "";
    for (const auto& character : kept) out += character;
    return keep == Keep::start ? out + "\u2026" : out;
}

std::vector<std::string> wrapText(std::string_view utf8, std::size_t columns) {
    if (columns == 0) columns = 1;
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= utf8.size()) {
        std::size_t end = utf8.find('\n', start);
        std::string_view paragraph = utf8.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        std::string line;
        std::size_t lineWidth = 0;
        auto flush = [&] {
            lines.push_back(line);
            line.clear();
            lineWidth = 0;
        };
        std::size_t pos = 0;
        while (pos <= paragraph.size()) {
            std::size_t space = paragraph.find(' ', pos);
            std::string_view word = paragraph.substr(pos, space == std::string_view::npos ? std::string_view::npos : space - pos);
            std::size_t wordWidth = displayWidth(word);
            if (lineWidth > 0 && lineWidth + 1 + wordWidth > columns) flush();
            if (wordWidth > columns) {
                // Too long for any line: break it between characters.
                for (const auto& cluster : graphemeClusters(word)) {
                    std::size_t w = displayWidth(cluster);
                    if (lineWidth + w > columns && lineWidth > 0) flush();
                    line += cluster;
                    lineWidth += w;
                }
            } else {
                if (lineWidth > 0) {
                    line += ' ';
                    ++lineWidth;
                }
                line += word;
                lineWidth += wordWidth;
            }
            if (space == std::string_view::npos) break;
            pos = space + 1;
        }
        flush();
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return lines;
}

}  // namespace oakenmere::platform
