#pragma once
// JSON records: keys always sorted (nlohmann's default map), compact for records and ledgers,
// pretty for documents people read. Decoding is strict about types and says which key failed.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/bytes.h"
#include "platform/date.h"
#include "platform/decoding_error.h"
#include "platform/uuid.h"

namespace oakenmere::platform {

using Json = nlohmann::json;
// For the few records whose keys are written in a fixed order rather than sorted.
using OrderedJson = nlohmann::ordered_json;

// What an encoder does with a string that is not valid UTF-8: records that name files refuse it
// (std::invalid_argument), since a replaced byte would name another file; others show U+FFFD.
enum class InvalidUtf8 { replace, refuse };

// One line, no spaces; "/" written as "\/".
std::string encodeCompactJson(const Json& value, InvalidUtf8 invalid = InvalidUtf8::replace);
// The same for a record whose keys are written in the order given; invalid UTF-8 is refused.
std::string encodeCompactJsonInOrder(const OrderedJson& value);
// Two-space indentation, otherwise as above.
std::string encodePrettyJson(const Json& value);
// Throws DecodingError for anything that is not one complete JSON text.
Json parseJson(ByteView bytes);

// Throws std::invalid_argument for a date that is not finite: JSON has no number for it.
Json dateJson(Date date);

// Typed access to the members of one JSON object. Optional members may be missing or null;
// integers must fit a signed 64-bit value. parseJson keeps a whole number written with a fraction
// or an exponent ("5.0", "1e18") as an integer, so only fractions and out-of-range values fail.
class JsonObject {
public:
    // Throws DecodingError when `value` is not an object.
    JsonObject(const Json& value, std::string path);

    std::int64_t int64(const char* key) const;
    std::optional<std::int64_t> optionalInt64(const char* key) const;
    std::uint64_t uint64(const char* key) const;
    bool boolean(const char* key) const;
    std::optional<bool> optionalBoolean(const char* key) const;
    std::string string(const char* key) const;
    std::optional<std::string> optionalString(const char* key) const;
    Date date(const char* key) const;
    std::optional<Date> optionalDate(const char* key) const;
    Uuid uuid(const char* key) const;
    const Json& array(const char* key) const;
    JsonObject object(const char* key) const;
    std::optional<JsonObject> optionalObject(const char* key) const;

    // The same conversions for a value found elsewhere (an array element), named by `path`.
    static std::int64_t toInt64(const Json& value, const std::string& path);
    static Uuid toUuid(const Json& value, const std::string& path);
    static std::string toString(const Json& value, const std::string& path);

    const std::string& path() const noexcept { return path_; }

private:
    const Json& required(const char* key) const;
    const Json* present(const char* key) const;  // nullptr when missing or null
    std::string pathOf(const char* key) const;

    const Json& value_;
    std::string path_;
};

}  // namespace oakenmere::platform
