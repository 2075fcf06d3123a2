#include "platform/property_list.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <limits>
#include <plist/plist.h>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/base64.h"
#include "platform/binary_plist_shape.h"
#include "platform/decoding_error.h"
#include "platform/quoted.h"
#include "platform/text.h"

namespace oakenmere::platform {

namespace {

// A member of a kind the records never read: only the kind is kept, to name it in errors.
struct OtherValue {
    const char* kind;
};
using Value = std::variant<std::int64_t, std::string, Date, OtherValue>;
using Members = std::vector<std::pair<std::string, Value>>;

[[noreturn]] void damaged(const std::string& what) { throw DecodingError(what); }

struct PlistFree {
    void operator()(void* plist) const { plist_free(static_cast<plist_t>(plist)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::uint64_t bigEndian(const std::uint8_t* at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | at[i];
    return value;
}

double bigEndianDouble(const std::uint8_t* at) {
    std::uint64_t bits = bigEndian(at, 8);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void putBigEndianDouble(std::uint8_t* at, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 7; i >= 0; --i, bits >>= 8) at[i] = static_cast<std::uint8_t>(bits & 0xFF);
}

// Keys are unique within a dictionary; a repeated one is a damaged list, not a choice to make.
void addMember(Members& members, std::set<std::string, std::less<>>& seen, std::string key, Value value) {
    if (!seen.insert(key).second) damaged("the key " + inQuotes(key) + " appears twice");
    members.emplace_back(std::move(key), std::move(value));
}

// ---- Binary, through libplist.

// libplist hands dates out as 32-bit seconds plus unsigned microseconds, which loses the range
// after 2069 and the sign of a fraction before 2001. The binary encoding of the date alone keeps
// the exact double: the root object (marker 0x33) at offset 8.
Date exactDate(plist_t item) {
    PlistPtr copy(plist_copy(item));
    char* data = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(static_cast<plist_t>(copy.get()), &data, &length);
    std::unique_ptr<char, void (*)(char*)> owned(data, [](char* p) { plist_to_bin_free(p); });
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    if (bytes == nullptr || length < 17 || bytes[8] != 0x33) damaged("a date cannot be read");
    const double seconds = bigEndianDouble(bytes + 9);
    // NaN or infinity names no moment, and a NaN date would never equal itself once decoded.
    if (!std::isfinite(seconds)) damaged("a date is not a moment");
    return Date{seconds};
}

Value binaryValue(plist_t item) {
    switch (plist_get_node_type(item)) {
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(item, &value);
        // The stored 64 bits, unsigned; the records' integers are signed.
        return static_cast<std::int64_t>(value);
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(item, &length);
        return text ? std::string(text, length) : std::string();
    }
    case PLIST_DATE: return exactDate(item);
    case PLIST_REAL: return OtherValue{"a real number"};
    case PLIST_BOOLEAN: return OtherValue{"a Boolean"};
    case PLIST_DATA: return OtherValue{"data"};
    case PLIST_ARRAY: return OtherValue{"an array"};
    case PLIST_DICT: return OtherValue{"a dictionary"};
    default: return OtherValue{"another kind of value"};
    }
}

Members readBinary(ByteView bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) damaged("the property list is too large");
    // libplist expands shared containers into a tree and follows cycles: a few hundred bytes
    // could cost it millions of nodes or its stack.
    checkBinaryPropertyListShape(bytes);
    plist_t raw = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &raw);
    PlistPtr root(raw);
    if (raw == nullptr) damaged("not a property list");
    if (plist_get_node_type(raw) != PLIST_DICT) damaged("the property list is not a dictionary");
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(raw, &iter);
    std::unique_ptr<void, void (*)(void*)> ownedIter(iter, std::free);
    Members members;
    std::set<std::string, std::less<>> seen;
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(raw, iter, &key, &item);
        std::unique_ptr<char, void (*)(void*)> ownedKey(key, std::free);
        if (item == nullptr) break;
        addMember(members, seen, key ? key : "", binaryValue(item));
    }
    return members;
}

// ---- XML, checked through libxml2.

bool isBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

bool isDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view textOf(const xmlChar* text) { return text ? reinterpret_cast<const char*>(text) : ""; }

bool named(const xmlNode* node, std::string_view name) { return node->ns == nullptr && textOf(node->name) == name; }

// The elements inside `node`, with nothing but blanks and comments between them.
std::vector<xmlNode*> elementsIn(xmlNode* node) {
    std::vector<xmlNode*> elements;
    for (xmlNode* child = node->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            elements.push_back(child);
        } else if (child->type != XML_COMMENT_NODE && !(child->type == XML_TEXT_NODE && isBlank(textOf(child->content)))) {
            damaged("unexpected content in <" + std::string(textOf(node->name)) + ">");
        }
    }
    return elements;
}

// The text of a leaf element, which holds text and nothing else.
std::string leafText(const xmlNode* node) {
    std::string text;
    for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
        if (child->type != XML_TEXT_NODE && child->type != XML_CDATA_SECTION_NODE)
            damaged("<" + std::string(textOf(node->name)) + "> holds more than text");
        text += textOf(child->content);
    }
    return text;
}

// Digits with an optional sign; values above the signed range keep their 64 bits, as in the
// binary encoding.
std::optional<std::int64_t> integerText(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    if (!isDigits(text)) return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (negative && magnitude > (std::uint64_t{1} << 63)) return std::nullopt;
    return static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
}

// A decimal number with optional sign, fraction and exponent, or nan / inf / infinity.
bool isRealText(std::string_view text) {
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (lower == "nan" || lower == "inf" || lower == "infinity") return true;
    auto digits = [&] {
        std::size_t n = 0;
        while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
        text.remove_prefix(n);
        return n;
    };
    std::size_t mantissa = digits();
    if (!text.empty() && text.front() == '.') {
        text.remove_prefix(1);
        mantissa += digits();
    }
    if (mantissa == 0) return false;
    if (!text.empty() && (text.front() == 'e' || text.front() == 'E')) {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
        if (digits() == 0) return false;
    }
    return text.empty();
}

// Exactly YYYY-MM-DDTHH:MM:SSZ, a real day and time, in UTC.
std::optional<Date> dateText(std::string_view text) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) return std::nullopt;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? !isDigits(text.substr(i, 1)) : text[i] != shape[i]) return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t width) {
        int value = 0;
        for (std::size_t i = at; i < at + width; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    using namespace std::chrono;
    const year_month_day ymd{year{number(0, 4)}, month{static_cast<unsigned>(number(5, 2))}, day{static_cast<unsigned>(number(8, 2))}};
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (!ymd.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    const std::int64_t unixSeconds = std::int64_t{sys_days{ymd}.time_since_epoch().count()} * 86'400 + hour * 3'600 + minute * 60 + second;
    return Date::fromUnixSeconds(static_cast<double>(unixSeconds));
}

Members readDictionary(xmlNode* node);

// Checks a value and everything inside it; gives back the kinds the records read.
Value readValue(xmlNode* node) {
    const std::string name(textOf(node->name));
    if (node->ns != nullptr) damaged("unknown element <" + name + ">");
    if (name == "dict") {
        readDictionary(node);
        return OtherValue{"a dictionary"};
    }
    if (name == "array") {
        for (xmlNode* element : elementsIn(node)) readValue(element);
        return OtherValue{"an array"};
    }
    if (name == "true" || name == "false") {
        if (node->children != nullptr) damaged("<" + name + "> is not empty");
        return OtherValue{"a Boolean"};
    }
    std::string text = leafText(node);
    if (name == "string") return text;
    if (name == "integer") {
        if (auto value = integerText(text)) return *value;
    } else if (name == "real") {
        if (isRealText(text)) return OtherValue{"a real number"};
    } else if (name == "date") {
        if (auto value = dateText(text)) return *value;
    } else if (name == "data") {
        std::erase_if(text, [](char c) { return isBlank(std::string_view(&c, 1)); });
        if (base64Decode(text)) return OtherValue{"data"};
    } else {
        damaged("unknown element <" + name + ">");
    }
    damaged("<" + name + "> holds " + inQuotes(text));
}

Members readDictionary(xmlNode* node) {
    std::vector<xmlNode*> elements = elementsIn(node);
    Members members;
    std::set<std::string, std::less<>> seen;
    for (std::size_t i = 0; i < elements.size(); i += 2) {
        if (!named(elements[i], "key") || i + 1 == elements.size()) damaged("a dictionary entry is not a key and a value");
        addMember(members, seen, leafText(elements[i]), readValue(elements[i + 1]));
    }
    return members;
}

Members readXml(ByteView bytes) {
    static const bool initialised = (xmlInitParser(), true);
    (void)initialised;
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) damaged("the property list is too large");
    // No entity substitution and no network: a record names nothing outside itself.
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> document(
        xmlReadMemory(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), nullptr, nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA),
        xmlFreeDoc);
    if (!document) damaged("not a property list");
    xmlNode* root = xmlDocGetRootElement(document.get());
    if (root == nullptr || !named(root, "plist")) damaged("not a property list");
    std::vector<xmlNode*> top = elementsIn(root);
    if (top.size() != 1) damaged("not a property list");
    if (!named(top.front(), "dict")) damaged("the property list is not a dictionary");
    return readDictionary(top.front());
}

// ---- Writing.

[[noreturn]] void unwritable(const std::string& key) {
    throw std::logic_error("the value for key " + inQuotes(key) + " was read, not set, and cannot be written");
}

// libplist writes dates from 32-bit seconds; each date goes in as a small placeholder and its
// double is put in place in the output, found through the offset table.
void putDates(Bytes& bytes, const std::vector<double>& dates) {
    if (bytes.size() < 40) throw std::logic_error("libplist wrote no trailer");
    const std::uint8_t* trailer = bytes.data() + bytes.size() - 32;
    const std::size_t width = trailer[6];
    const std::uint64_t count = bigEndian(trailer + 8, 8), table = bigEndian(trailer + 24, 8);
    std::size_t put = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = bigEndian(bytes.data() + table + i * width, width);
        if (at + 9 > bytes.size() || bytes[at] != 0x33) continue;
        const double placeholder = bigEndianDouble(bytes.data() + at + 1);
        putBigEndianDouble(bytes.data() + at + 1, dates.at(static_cast<std::size_t>(placeholder)));
        ++put;
    }
    if (put != dates.size()) throw std::logic_error("libplist merged or lost a date");
}

std::string escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

// Whole seconds, as the XML form has no fraction.
std::string isoDate(Date date) {
    using namespace std::chrono;
    const auto seconds = static_cast<std::int64_t>(std::floor(date.unixSeconds()));
    const auto dayCount = seconds >= 0 ? seconds / 86'400 : -((-seconds + 86'399) / 86'400);
    const std::int64_t inDay = seconds - dayCount * 86'400;
    const year_month_day ymd{sys_days{days{dayCount}}};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(inDay / 3'600), static_cast<int>(inDay / 60 % 60),
                  static_cast<int>(inDay % 60));
    return text;
}

}  // namespace

struct PropertyListDictionary::Node {
    Members members;

    const Value* find(const char* key) const {
        auto it = std::find_if(members.begin(), members.end(), [&](const auto& member) { return member.first == key; });
        return it == members.end() ? nullptr : &it->second;
    }
    void set(const char* key, Value value) {
        auto it = std::find_if(members.begin(), members.end(), [&](const auto& member) { return member.first == key; });
        if (it == members.end()) members.emplace_back(key, std::move(value));
        else it->second = std::move(value);
    }
    template <typename T>
    std::optional<T> get(const char* key, const char* what) const {
        const Value* value = find(key);
        if (value == nullptr) return std::nullopt;
        if (const T* typed = std::get_if<T>(value)) return *typed;
        damaged("the value for key " + inQuotes(key) + " is not " + what);
    }
};

PropertyListDictionary::PropertyListDictionary() : node_(std::make_unique<Node>()) {}
PropertyListDictionary::PropertyListDictionary(std::unique_ptr<Node> node) : node_(std::move(node)) {}
PropertyListDictionary::~PropertyListDictionary() = default;
PropertyListDictionary::PropertyListDictionary(PropertyListDictionary&&) noexcept = default;
PropertyListDictionary& PropertyListDictionary::operator=(PropertyListDictionary&&) noexcept = default;

PropertyListDictionary PropertyListDictionary::parse(ByteView bytes) {
    constexpr std::string_view binaryMagic = "bplist00";
    auto node = std::make_unique<Node>();
    node->members = asText(bytes).starts_with(binaryMagic) ? readBinary(bytes) : readXml(bytes);
    return PropertyListDictionary(std::move(node));
}

std::optional<std::int64_t> PropertyListDictionary::integer(const char* key) const { return node_->get<std::int64_t>(key, "an integer"); }

std::optional<std::string> PropertyListDictionary::string(const char* key) const {
    auto value = node_->get<std::string>(key, "a string");
    // Text from a file is only trusted as text once it is known to be UTF-8.
    if (value && !isValidUtf8(*value)) damaged("the value for key " + inQuotes(key) + " is not valid text");
    return value;
}

std::optional<Date> PropertyListDictionary::date(const char* key) const { return node_->get<Date>(key, "a date"); }

void PropertyListDictionary::setInteger(const char* key, std::int64_t value) { node_->set(key, value); }

void PropertyListDictionary::setString(const char* key, const std::string& value) { node_->set(key, value); }

void PropertyListDictionary::setDate(const char* key, Date value) {
    node_->set(key, Date{std::round(value.secondsSinceReferenceDate * 1e6) / 1e6});
}

Bytes PropertyListDictionary::binary() const {
    PlistPtr root(plist_new_dict());
    std::vector<double> dates;
    for (const auto& [key, value] : node_->members) {
        plist_t item = nullptr;
        if (auto* integer = std::get_if<std::int64_t>(&value)) {
            item = plist_new_uint(static_cast<std::uint64_t>(*integer));
        } else if (auto* text = std::get_if<std::string>(&value)) {
            item = plist_new_string(text->c_str());
        } else if (auto* date = std::get_if<Date>(&value)) {
            item = plist_new_date(static_cast<std::int32_t>(dates.size()), 0);
            dates.push_back(date->secondsSinceReferenceDate);
        } else {
            unwritable(key);
        }
        plist_dict_set_item(static_cast<plist_t>(root.get()), key.c_str(), item);
    }
    char* data = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(static_cast<plist_t>(root.get()), &data, &length);
    Bytes out(data, data + length);
    plist_to_bin_free(data);
    putDates(out, dates);
    return out;
}

std::string PropertyListDictionary::xml() const {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, value] : node_->members) {
        out += "\t<key>" + escaped(key) + "</key>\n\t";
        if (auto* integer = std::get_if<std::int64_t>(&value)) out += "<integer>" + std::to_string(*integer) + "</integer>\n";
        else if (auto* text = std::get_if<std::string>(&value)) out += "<string>" + escaped(*text) + "</string>\n";
        else if (auto* date = std::get_if<Date>(&value)) out += "<date>" + isoDate(*date) + "</date>\n";
        else unwritable(key);
    }
    return out + "</dict>\n</plist>\n";
}

}  // namespace oakenmere::platform
