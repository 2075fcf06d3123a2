#include "platform/text.h"

#include <memory>
#include <stdexcept>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace oakenmere::platform {

namespace {

// One character iterator per thread: creating one loads ICU's rules, which is slow.
icu::BreakIterator& characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
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

}  // namespace

std::size_t graphemeCount(std::string_view utf8) {
    icu::UnicodeString text = unicode(utf8);
    std::size_t count = 0;
    forEachCluster(text, [&](int32_t, int32_t) { ++count; return true; });
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

}  // namespace oakenmere::platform
