#pragma once
// Property lists whose root is a dictionary, which is all the package records use. Read in the
// binary encoding (through libplist, once its object table is known to be a small tree) or the
// XML one (checked strictly through libxml2: well formed, complete, and every value's text valid
// for its type); written binary, or as XML for tests and tools. Dates keep their full 64-bit
// range both ways.
#include <memory>
#include <optional>
#include <string>

#include "platform/bytes.h"
#include "platform/date.h"

namespace oakenmere::platform {

class PropertyListDictionary {
public:
    PropertyListDictionary();
    ~PropertyListDictionary();
    PropertyListDictionary(PropertyListDictionary&&) noexcept;
    PropertyListDictionary& operator=(PropertyListDictionary&&) noexcept;

    // Throws DecodingError unless `bytes` hold a whole, valid property list whose root is a
    // dictionary.
    static PropertyListDictionary parse(ByteView bytes);

    // Typed members: nullopt when the key is missing, DecodingError when the type differs (or a
    // string is not UTF-8).
    std::optional<std::int64_t> integer(const char* key) const;
    std::optional<std::string> string(const char* key) const;
    std::optional<Date> date(const char* key) const;

    void setInteger(const char* key, std::int64_t value);
    void setString(const char* key, const std::string& value);
    // Binary property-list dates keep whole microseconds; XML ones whole seconds.
    void setDate(const char* key, Date value);

    Bytes binary() const;  // starts with "bplist00"
    std::string xml() const;

private:
    struct Node;
    explicit PropertyListDictionary(std::unique_ptr<Node> node);
    std::unique_ptr<Node> node_;
};

}  // namespace oakenmere::platform
