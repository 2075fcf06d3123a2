#include "platform/property_list.h"

#include <cmath>
#include <limits>
#include <plist/plist.h>

#include "platform/decoding_error.h"

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
    return text ? std::string(text, length) : std::string();
}

std::optional<Date> PropertyListDictionary::date(const char* key) const {
    plist_t item = member(node_->plist, key, PLIST_DATE, "a date");
    if (item == nullptr) return std::nullopt;
    std::int32_t seconds = 0, microseconds = 0;
    plist_get_date_val(item, &seconds, &microseconds);
    return Date{static_cast<double>(seconds) + static_cast<double>(microseconds) / 1e6};
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
