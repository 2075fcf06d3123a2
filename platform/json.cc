#include "platform/json.h"

#include <cmath>

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

}  // namespace

std::string encodeCompactJson(const Json& value) {
    return escapeSlashes(value.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::string encodePrettyJson(const Json& value) {
    return escapeSlashes(value.dump(2, ' ', false, Json::error_handler_t::replace));
}

Json parseJson(ByteView bytes) {
    try {
        return Json::parse(bytes.begin(), bytes.end());
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
    if (it == value_.end()) throw DecodingError("no value for key \u201C" + pathOf(key) + "\u201D");
    return *it;
}

const Json* JsonObject::present(const char* key) const {
    auto it = value_.find(key);
    if (it == value_.end() || it->is_null()) return nullptr;
    return &*it;
}

std::int64_t JsonObject::toInt64(const Json& value, const std::string& path) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto n = value.get<std::uint64_t>();
        if (n <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(n);
    } else if (value.is_number_float()) {
        // Integral numbers written with a fraction count, but only where a double is exact:
        // beyond 2^53 the text may have named a different integer (or one out of range).
        double d = value.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) <= 9007199254740992.0)
            return static_cast<std::int64_t>(d);
    }
    throw DecodingError("the value at \u201C" + path + "\u201D is not a 64-bit integer");
}

Uuid JsonObject::toUuid(const Json& value, const std::string& path) {
    if (value.is_string())
        if (auto uuid = Uuid::parse(value.get_ref<const std::string&>())) return *uuid;
    throw DecodingError("the value at \u201C" + path + "\u201D is not a UUID");
}

std::int64_t JsonObject::int64(const char* key) const { return toInt64(required(key), pathOf(key)); }

std::optional<std::int64_t> JsonObject::optionalInt64(const char* key) const {
    if (const Json* v = present(key)) return toInt64(*v, pathOf(key));
    return std::nullopt;
}

bool JsonObject::boolean(const char* key) const {
    const Json& v = required(key);
    if (!v.is_boolean()) throw DecodingError("the value at \u201C" + pathOf(key) + "\u201D is not a boolean");
    return v.get<bool>();
}

std::string JsonObject::string(const char* key) const {
    const Json& v = required(key);
    if (!v.is_string()) throw DecodingError("the value at \u201C" + pathOf(key) + "\u201D is not a string");
    return v.get<std::string>();
}

namespace {
Date toDate(const Json& value, const std::string& path) {
    if (!value.is_number()) throw DecodingError("the value at \u201C" + path + "\u201D is not a date");
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
    if (!v.is_array()) throw DecodingError("the value at \u201C" + pathOf(key) + "\u201D is not an array");
    return v;
}

JsonObject JsonObject::object(const char* key) const { return JsonObject(required(key), pathOf(key)); }

std::optional<JsonObject> JsonObject::optionalObject(const char* key) const {
    if (const Json* v = present(key)) return JsonObject(*v, pathOf(key));
    return std::nullopt;
}

}  // namespace oakenmere::platform
