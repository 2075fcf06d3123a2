#pragma once
// Property lists through libplist: read in the binary or XML encoding, written binary.
// Only a dictionary at the root is supported, which is all the package records use.
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

    // Throws DecodingError unless `bytes` hold a property list whose root is a dictionary.
    static PropertyListDictionary parse(ByteView bytes);

    // Typed members: nullopt when the key is missing, DecodingError when the type differs.
    std::optional<std::int64_t> integer(const char* key) const;
    std::optional<std::string> string(const char* key) const;
    std::optional<Date> date(const char* key) const;

    void setInteger(const char* key, std::int64_t value);
    void setString(const char* key, const std::string& value);
    // Property-list dates keep whole microseconds.
    void setDate(const char* key, Date value);

    Bytes binary() const;    // starts with "bplist00"
    std::string xml() const;

private:
    struct Node;
    explicit PropertyListDictionary(std::unique_ptr<Node> node);
    std::unique_ptr<Node> node_;
};

}  // namespace oakenmere::platform
