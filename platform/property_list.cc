#include "platform/property_list.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <plist/plist.h>

#include "platform/decoding_error.h"
#include "platform/text.h"

namespace oakenmere::platform {

struct PropertyListDictionary::Node {
    plist_t plist = nullptr;
    explicit Node(plist_t p) : plist(p) {}
    ~Node() {
        if (plist) plist_free(plist);
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
};

PropertyListDictionary::PropertyListDictionary() : node_(std::make_unique<Node>(plist_new_dict())) {}
PropertyListDictionary::PropertyListDictionary(std::unique_ptr<Node> node) : node_(std::move(node)) {}
PropertyListDictionary::~PropertyListDictionary() = default;
PropertyListDictionary::PropertyListDictionary(PropertyListDictionary&&) noexcept = default;
PropertyListDictionary& PropertyListDictionary::operator=(PropertyListDictionary&&) noexcept = default;

PropertyListDictionary PropertyListDictionary::parse(ByteView bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max())
        throw DecodingError("not a property list");
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &root);
    auto node = std::make_unique<Node>(root);
    if (root == nullptr) throw DecodingError("not a property list");
    if (plist_get_node_type(root) != PLIST_DICT) throw DecodingError("the property list is not a dictionary");
    return PropertyListDictionary(std::move(node));
}

namespace {

plist_t member(plist_t dict, const char* key, plist_type expected, const char* what) {
    plist_t item = plist_dict_get_item(dict, key);
    if (item == nullptr) return nullptr;
    if (plist_get_node_type(item) != expected)
        throw DecodingError(std::string("the value for key \u201C") + key + "\u201D is not " + what);
    return item;
}

}  // namespace

std::optional<std::int64_t> PropertyListDictionary::integer(const char* key) const {
    plist_t item = member(node_->plist, key, PLIST_UINT, "an integer");
    if (item == nullptr) return std::nullopt;
    std::uint64_t value = 0;
    plist_get_uint_val(item, &value);
    // libplist hands out the stored 64 bits unsigned; the file format's integers are signed.
    return static_cast<std::int64_t>(value);
}

std::optional<std::string> PropertyListDictionary::string(const char* key) const {
    plist_t item = member(node_->plist, key, PLIST_STRING, "a string");
    if (item == nullptr) return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    std::string value = text ? std::string(text, length) : std::string();
    // Text from a file is only trusted as text once it is known to be UTF-8.
    if (!isValidUtf8(value)) throw DecodingError(std::string("the value for key \u201C") + key + "\u201D is not valid text");
    return value;
}

std::optional<Date> PropertyListDictionary::date(const char* key) const {
    plist_t item = member(node_->plist, key, PLIST_DATE, "a date");
    if (item == nullptr) return std::nullopt;
    // libplist hands dates out as whole seconds plus unsigned microseconds, which loses the sign
    // of a fraction just before 2001. The binary encoding of the date alone keeps the exact
    // value: the root object (marker 0x33) at offset 8, an 8-byte big-endian double.
    plist_t copy = plist_copy(item);
    char* data = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(copy, &data, &length);
    plist_free(copy);
    std::unique_ptr<char, void (*)(char*)> owned(data, [](char* p) { plist_to_bin_free(p); });
    if (data == nullptr || length < 17 || static_cast<unsigned char>(data[8]) != 0x33)
        throw DecodingError(std::string("the date for key \u201C") + key + "\u201D cannot be read");
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<unsigned char>(data[9 + i]);
    double seconds = 0;
    std::memcpy(&seconds, &bits, sizeof seconds);
    return Date{seconds};
}

void PropertyListDictionary::setInteger(const char* key, std::int64_t value) {
    plist_dict_set_item(node_->plist, key, plist_new_uint(static_cast<std::uint64_t>(value)));
}

void PropertyListDictionary::setString(const char* key, const std::string& value) {
    plist_dict_set_item(node_->plist, key, plist_new_string(value.c_str()));
}

void PropertyListDictionary::setDate(const char* key, Date value) {
    double whole = std::floor(value.secondsSinceReferenceDate);
    auto micros = static_cast<std::int32_t>(std::llround((value.secondsSinceReferenceDate - whole) * 1e6));
    plist_dict_set_item(node_->plist, key, plist_new_date(static_cast<std::int32_t>(whole), micros));
}

Bytes PropertyListDictionary::binary() const {
    char* data = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node_->plist, &data, &length);
    Bytes out(data, data + length);
    plist_to_bin_free(data);
    return out;
}

std::string PropertyListDictionary::xml() const {
    char* data = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node_->plist, &data, &length);
    std::string out(data, length);
    plist_to_xml_free(data);
    return out;
}

}  // namespace oakenmere::platform
