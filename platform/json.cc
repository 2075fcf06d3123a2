#include "platform/json.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "platform/quoted.h"

namespace oakenmere::platform {

namespace {

std::string escapeSlashes(std::string text) {
    // A "/" can only stand inside a string in serialised JSON, so every one is escaped.
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '/') out += "\\/";
        else out.push_back(c);
    }
    return out;
}

std::string describeType(const Json& value) { return value.type_name(); }

// A number written with a fraction or an exponent ("2.0E3", "1e18") is kept as the integer it
// names when it names one that 64 bits hold, decided on its text: a double would round 19-digit
// values to a neighbour.
class ExactIntegerDomBuilder : public nlohmann::detail::json_sax_dom_parser<Json> {
public:
    using json_sax_dom_parser::json_sax_dom_parser;

    bool number_float(number_float_t value, const string_t& text) {
        if (!exactInteger(text)) return json_sax_dom_parser::number_float(value, text);
        if (negative_) return json_sax_dom_parser::number_integer(static_cast<number_integer_t>(0 - magnitude_));
        return json_sax_dom_parser::number_unsigned(magnitude_);
    }

private:
    // JSON's grammar is already checked: -?digits(.digits)?([eE][+-]?digits)?
    bool exactInteger(std::string_view text) {
        negative_ = !text.empty() && text.front() == '-';
        if (negative_) text.remove_prefix(1);
        std::size_t e = text.find_first_of("eE");
        std::string_view mantissa = text.substr(0, e);
        long long exponent = 0;
        if (e != std::string_view::npos) {
            std::string_view power = text.substr(e + 1);
            bool down = !power.empty() && power.front() == '-';
            if (!power.empty() && (power.front() == '-' || power.front() == '+')) power.remove_prefix(1);
            for (char c : power) {
                exponent = exponent * 10 + (c - '0');
                if (exponent > 100000) break;  // far beyond any 64-bit value's twenty digits
            }
            if (down) exponent = -exponent;
        }
        std::string digits;
        for (char c : mantissa) {
            if (c == '.') exponent -= static_cast<long long>(mantissa.size() - mantissa.find('.') - 1);
            else digits.push_back(c);
        }
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
        magnitude_ = 0;
        if (digits.empty()) return true;  // zero, however it is written
        while (digits.back() == '0') digits.pop_back(), ++exponent;
        if (exponent < 0) return false;  // a fraction
        if (static_cast<long long>(digits.size()) + exponent > 20) return false;
        digits.append(static_cast<std::size_t>(exponent), '0');
        for (char c : digits) {
            auto digit = static_cast<std::uint64_t>(c - '0');
            if (magnitude_ > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
            magnitude_ = magnitude_ * 10 + digit;
        }
        return !negative_ || magnitude_ <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
    }

    bool negative_ = false;
    std::uint64_t magnitude_ = 0;
};

template <typename Value>
std::string compact(const Value& value, InvalidUtf8 invalid) {
    try {
        return escapeSlashes(
            value.dump(-1, ' ', false, invalid == InvalidUtf8::replace ? Value::error_handler_t::replace : Value::error_handler_t::strict));
    } catch (const nlohmann::json::type_error&) {
        throw std::invalid_argument("A file name that is not valid UTF-8 text can\u2019t be recorded.");
    }
}

}  // namespace

std::string encodeCompactJson(const Json& value, InvalidUtf8 invalid) { return compact(value, invalid); }

std::string encodeCompactJsonInOrder(const OrderedJson& value) { return compact(value, InvalidUtf8::refuse); }

std::string encodePrettyJson(const Json& value) { return escapeSlashes(value.dump(2, ' ', false, Json::error_handler_t::replace)); }

Json dateJson(Date date) {
    // JSON has no number for NaN or infinity; writing null would read back as absent or fail.
    if (!date.isFinite()) throw std::invalid_argument("A date that isn\u2019t a finite point in time can\u2019t be written as JSON.");
    return date.secondsSinceReferenceDate;
}

Json parseJson(ByteView bytes) {
    try {
        Json result;
        ExactIntegerDomBuilder builder(result);
        Json::sax_parse(bytes.begin(), bytes.end(), &builder);
        return result;
    } catch (const Json::exception& error) {
        throw DecodingError(error.what());
    }
}

JsonObject::JsonObject(const Json& value, std::string path) : value_(value), path_(std::move(path)) {
    if (!value_.is_object()) throw DecodingError("expected an object at " + path_ + ", found " + describeType(value_));
}

std::string JsonObject::pathOf(const char* key) const { return path_.empty() ? key : path_ + "." + key; }

const Json& JsonObject::required(const char* key) const {
    auto it = value_.find(key);
    if (it == value_.end()) throw DecodingError("no value for key " + inQuotes(pathOf(key)));
    return *it;
}

const Json* JsonObject::present(const char* key) const {
    auto it = value_.find(key);
    if (it == value_.end() || it->is_null()) return nullptr;
    return &*it;
}

std::int64_t JsonObject::toInt64(const Json& value, const std::string& path) {
    // parseJson has made every whole number an integer, so a float left is a fraction or out of range.
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto n = value.get<std::uint64_t>();
        if (n <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(n);
    }
    throw DecodingError("the value at " + inQuotes(path) + " is not a 64-bit integer");
}

Uuid JsonObject::toUuid(const Json& value, const std::string& path) {
    if (value.is_string())
        if (auto uuid = Uuid::parse(value.get_ref<const std::string&>())) return *uuid;
    throw DecodingError("the value at " + inQuotes(path) + " is not a UUID");
}

std::int64_t JsonObject::int64(const char* key) const { return toInt64(required(key), pathOf(key)); }

std::optional<std::int64_t> JsonObject::optionalInt64(const char* key) const {
    if (const Json* v = present(key)) return toInt64(*v, pathOf(key));
    return std::nullopt;
}

std::uint64_t JsonObject::uint64(const char* key) const {
    const Json& v = required(key);
    if (v.is_number_unsigned()) return v.get<std::uint64_t>();
    throw DecodingError("the value at " + inQuotes(pathOf(key)) + " is not an unsigned 64-bit integer");
}

bool JsonObject::boolean(const char* key) const {
    const Json& v = required(key);
    if (!v.is_boolean()) throw DecodingError("the value at " + inQuotes(pathOf(key)) + " is not a boolean");
    return v.get<bool>();
}

std::optional<bool> JsonObject::optionalBoolean(const char* key) const {
    if (!present(key)) return std::nullopt;
    return boolean(key);
}

std::string JsonObject::toString(const Json& value, const std::string& path) {
    if (!value.is_string()) throw DecodingError("the value at " + inQuotes(path) + " is not a string");
    return value.get<std::string>();
}

std::string JsonObject::string(const char* key) const { return toString(required(key), pathOf(key)); }

std::optional<std::string> JsonObject::optionalString(const char* key) const {
    if (const Json* v = present(key)) return toString(*v, pathOf(key));
    return std::nullopt;
}

namespace {
Date toDate(const Json& value, const std::string& path) {
    if (!value.is_number()) throw DecodingError("the value at " + inQuotes(path) + " is not a date");
    return Date{value.get<double>()};
}
}  // namespace

Date JsonObject::date(const char* key) const { return toDate(required(key), pathOf(key)); }

std::optional<Date> JsonObject::optionalDate(const char* key) const {
    if (const Json* v = present(key)) return toDate(*v, pathOf(key));
    return std::nullopt;
}

Uuid JsonObject::uuid(const char* key) const { return toUuid(required(key), pathOf(key)); }

const Json& JsonObject::array(const char* key) const {
    const Json& v = required(key);
    if (!v.is_array()) throw DecodingError("the value at " + inQuotes(pathOf(key)) + " is not an array");
    return v;
}

JsonObject JsonObject::object(const char* key) const { return JsonObject(required(key), pathOf(key)); }

std::optional<JsonObject> JsonObject::optionalObject(const char* key) const {
    if (const Json* v = present(key)) return JsonObject(*v, pathOf(key));
    return std::nullopt;
}

}  // namespace oakenmere::platform
