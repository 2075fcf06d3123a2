#pragma once
// Decoding one flat JSON object, such as a line of a ledger, straight into a record's fields,
// without building a document in between: ledgers of a hundred thousand lines are read at every
// resume. The rules are JsonObject's, so a record decodes alike either way: types are strict,
// integers must fit their field, a member given twice takes its last value, unknown members are
// ignored, and anything that is not one whole JSON object is refused. One difference: a whole
// number written with a fraction or an exponent ("5.0", "1e3") counts only up to 2^53, where a
// double still holds it exactly; beyond, the record is refused rather than risk a rounded value.
// Any thread; each has its own parser.
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "platform/bytes.h"
#include "platform/decoding_error.h"

namespace oakenmere::platform {

struct JsonField {
    using Target = std::variant<std::string*, std::int64_t*, std::uint64_t*, std::int32_t*, bool*>;
    const char* key;
    Target target;
    // An optional member that is missing or null leaves its target as it was.
    bool required = true;
};

// Throws DecodingError naming `path` and the member at fault.
void decodeJsonRecord(ByteView bytes, std::string_view path, std::span<const JsonField> fields);
inline void decodeJsonRecord(ByteView bytes, std::string_view path, std::initializer_list<JsonField> fields) {
    decodeJsonRecord(bytes, path, std::span(fields.begin(), fields.size()));
}

}  // namespace oakenmere::platform
