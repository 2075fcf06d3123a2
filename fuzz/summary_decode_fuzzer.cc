// Arbitrary bytes as "Summary.json": decoding never crashes, and whatever decodes survives an
// encode and decode unchanged (dates are compared by their bits through the JSON text).
#include <cstdint>
#include <cstdlib>

#include "LibraryBundle/preview/library_preview_summary.h"
#include "platform/decoding_error.h"

using namespace oakenmere;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using LibraryBundle::LibraryPreviewSummary;
    try {
        auto summary = LibraryPreviewSummary::decodeJSON({data, size});
        bool valid = summary.isValid();
        if (!valid) return 0;  // invalid summaries may hold values JSON cannot carry back (NaN)
        std::string encoded = summary.encodeJSON();
        auto again = LibraryPreviewSummary::decodeJSON(oakenmere::platform::asBytes(encoded));
        if (!(again == summary) || again.encodeJSON() != encoded) std::abort();
    } catch (const oakenmere::platform::DecodingError&) {}
    return 0;
}
