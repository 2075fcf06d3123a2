#include "platform/json_record.h"

#include <cmath>
#include <limits>
#include <optional>
#include <simdjson.h>
#include <vector>

#include "platform/quoted.h"

namespace oakenmere::platform {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// Doubles hold every integer up to 2^53 exactly; beyond it "5.0"-style text could have rounded.
constexpr double kExactDoubleLimit = 9007199254740992.0;

[[noreturn]] void notA(std::string_view path, const char* key, const char* what) {
    throw DecodingError("the value at " + inQuotes(std::string(path) + "." + key) + " is not " + what);
}

// The value as a signed integer, when it names one: an integer, or a whole double.
std::optional<std::int64_t> signedValue(const element& value) {
    switch (value.type()) {
    case element_type::INT64: return int64_t(value);
    case element_type::DOUBLE: {
        const double d = double(value);
        if (std::trunc(d) == d && std::fabs(d) <= kExactDoubleLimit) return static_cast<std::int64_t>(d);
        return std::nullopt;
    }
    default: return std::nullopt;
    }
}

void assign(const element& value, std::string_view path, const char* key, const JsonField::Target& target) {
    std::visit(
        [&](auto* field) {
            using T = std::remove_pointer_t<decltype(field)>;
            if constexpr (std::is_same_v<T, std::string>) {
                if (!value.is_string()) notA(path, key, "a string");
                *field = std::string(std::string_view(value));
            } else if constexpr (std::is_same_v<T, bool>) {
                if (!value.is_bool()) notA(path, key, "a boolean");
                *field = bool(value);
            } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                if (value.type() == element_type::UINT64) *field = uint64_t(value);
                else if (auto n = signedValue(value); n && *n >= 0) *field = static_cast<std::uint64_t>(*n);
                else notA(path, key, "an unsigned 64-bit integer");
            } else {
                auto n = signedValue(value);
                if (!n || *n < std::numeric_limits<T>::min() || *n > std::numeric_limits<T>::max())
                    notA(path, key, sizeof(T) == 4 ? "a 32-bit integer" : "a 64-bit integer");
                *field = static_cast<T>(*n);
            }
        },
        target);
}

}  // namespace

void decodeJsonRecord(ByteView bytes, std::string_view path, std::span<const JsonField> fields) {
    thread_local simdjson::dom::parser parser;
    element root;
    if (auto error = parser.parse(reinterpret_cast<const char*>(bytes.data()), bytes.size()).get(root))
        throw DecodingError(std::string(path) + ": " + simdjson::error_message(error));
    simdjson::dom::object object;
    if (root.get(object)) throw DecodingError("expected an object at " + std::string(path));
    // As in a parsed document, only the last value of a member counts.
    std::vector<std::optional<element>> last(fields.size());
    for (auto [key, value] : object) {
        std::size_t index = 0;
        for (const JsonField& field : fields) {
            if (key == field.key) last[index] = value;
            ++index;
        }
    }
    std::size_t index = 0;
    for (const JsonField& field : fields) {
        const std::optional<element>& value = last[index++];
        if (field.required && !value) throw DecodingError("no value for key " + inQuotes(std::string(path) + "." + field.key));
        if (value && (field.required || !value->is_null())) assign(*value, path, field.key, field.target);
    }
}

}  // namespace oakenmere::platform
