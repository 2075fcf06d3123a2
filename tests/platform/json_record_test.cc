#include "platform/json_record.h"

#include <gtest/gtest.h>

#include "platform/json.h"

namespace oakenmere::platform {
namespace {

struct Record {
    std::string name;
    std::int64_t size = 0;
    std::uint64_t inode = 0;
    std::int32_t device = 0;
    bool owned = false;
    bool operator==(const Record&) const = default;
};

Record fast(std::string_view line) {
    Record r;
    decodeJsonRecord(asBytes(line), "entry",
                     {{"name", &r.name}, {"size", &r.size}, {"inode", &r.inode}, {"device", &r.device}, {"owned", &r.owned, false}});
    return r;
}

// The same record through the document reader, as job.json and the other records are read.
Record throughDocument(std::string_view line) {
    const Json value = parseJson(asBytes(line));
    const JsonObject o(value, "entry");
    const std::int64_t device = o.int64("device");
    if (device < INT32_MIN || device > INT32_MAX) throw DecodingError("device");
    return {o.string("name"), o.int64("size"), o.uint64("inode"), static_cast<std::int32_t>(device),
            o.optionalBoolean("owned").value_or(false)};
}

// Both readers agree on every line: what they decode and what they refuse.
TEST(JsonRecord, DecodesAsTheDocumentReaderDoes) {
    const std::string base = R"("name":"a\/b\u00e9","size":-5,"inode":18446744073709551615,"device":-2147483648)";
    const Record decoded{"a/b\u00e9", -5, UINT64_MAX, INT32_MIN, false};
    // clang-format off
    const std::pair<std::string, std::optional<Record>> cases[] = {
        {"{" + base + "}", decoded},
        {"{" + base + R"(,"owned":true,"unknown":[1,{"x":null}]})", Record{decoded.name, -5, UINT64_MAX, INT32_MIN, true}},
        {"{" + base + R"(,"owned":null})", decoded},
        {" {" + base + R"(,"size":5.0,"size":7,"inode":2e1} )", Record{decoded.name, 7, 20, INT32_MIN, false}},
        {"{" + base + R"(,"size":"7"})", std::nullopt},
        {"{" + base + R"(,"size":1.5})", std::nullopt},
        {"{" + base + R"(,"size":9223372036854775808})", std::nullopt},
        {"{" + base + R"(,"inode":-1})", std::nullopt},
        {"{" + base + R"(,"device":2147483648})", std::nullopt},
        {"{" + base + R"(,"owned":1})", std::nullopt},
        {"{" + base + R"(,"name":null})", std::nullopt},
        {R"({"name":"a","size":1,"inode":1})", std::nullopt},
        {"{" + base + "} {}", std::nullopt},
        {"{" + base + ",}", std::nullopt},
        {"{" + base + R"(,"x":tru})", std::nullopt},
        {"{" + base + ",\"name\":\"\xFF\"}", std::nullopt},
        {std::string("{\"name\":\"a\0b\"", 13) + "}", std::nullopt},
        {"[" + base + "]", std::nullopt},
        {"", std::nullopt},
    };
    // clang-format on
    for (const auto& [line, expected] : cases) {
        SCOPED_TRACE(line);
        if (expected) {
            EXPECT_EQ(fast(line), *expected);
            EXPECT_EQ(throughDocument(line), *expected);
        } else {
            EXPECT_THROW(fast(line), DecodingError);
            EXPECT_THROW(throughDocument(line), DecodingError);
        }
    }
    // Past 2^53 a number written as a double is refused here, where the document reader takes it.
    EXPECT_THROW(fast("{" + base + R"(,"size":1e17})"), DecodingError);
    EXPECT_EQ(fast("{" + base + R"(,"size":9007199254740992.0})").size, 9007199254740992);
}

}  // namespace
}  // namespace oakenmere::platform
