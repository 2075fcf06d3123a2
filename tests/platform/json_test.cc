#include "platform/json.h"

#include <gtest/gtest.h>

namespace oakenmere::platform {
namespace {

Json parsed(std::string_view text) { return parseJson(asBytes(text)); }

// Sorted keys at every level and "/" escaped in the compact form: LibraryPreviewSummaryDecoding. Here, a "/"
// after an escaped backslash, and the pretty form.
TEST(Json, OutputIsSortedWithEscapedSlashes) {
    const std::string expected = R"({"a":[1.5,null],"b":"a\\\/b"})";
    EXPECT_EQ(encodeCompactJson(Json{{"b", "a\\/b"}, {"a", Json::array({1.5, nullptr})}}), expected);
    EXPECT_EQ(encodeCompactJson(parsed(expected)), expected);
    EXPECT_EQ(encodePrettyJson(Json{{"b", "/"}, {"a", 1}}), "{\n  \"a\": 1,\n  \"b\": \"\\/\"\n}");
}

// Text that is not JSON is refused through both record readers (JsonRecord.DecodesAsTheDocumentReaderDoes).
TEST(Json, InvalidUtf8IsReplacedOrRefused) {
    EXPECT_EQ(encodeCompactJson(Json("a\xFF")), "\"a\xEF\xBF\xBD\"");
    EXPECT_THROW(encodeCompactJson(Json("a\xFF"), InvalidUtf8::refuse), std::invalid_argument);
}

TEST(JsonObject, IntegersMustFitSigned64Bits) {
    auto int64 = [](std::string_view number) { return JsonObject(parsed(R"({"n":)" + std::string(number) + "}"), "").int64("n"); };
    // Whole numbers count however written; past 2^53 a double would have rounded them (more: LibraryPreviewSummaryDecoding).
    // clang-format off
    const std::pair<std::string_view, std::int64_t> whole[] = {
        {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN}, {"5.0", 5}, {"-0.0", 0},
        {"0e7", 0}, {"5e2", 500}, {"2.0E3", 2000}, {"1.5e1", 15},
        {"9223372036854775807e0", INT64_MAX}, {"-9.223372036854775808E+18", INT64_MIN},
        {"1.0000000000000001e18", 1'000'000'000'000'000'100}, {"92233720368547758070e-1", INT64_MAX}
    };
    // clang-format on
    for (const auto& [text, value] : whole) EXPECT_EQ(int64(text), value) << text;
    // Fractions, however close to a whole number, and anything outside 64 bits fail.
    for (std::string_view bad : {"18446744073709551616", "1e300", "15E-1", "1.0000000000000000001", "9223372036854775808e0", "9.3e18",
                                 "-9223372036854775809", "-9.223372036854775809e18", "1e-1", "1e99999999999", "true", "null", "[5]"})
        EXPECT_THROW(int64(bad), DecodingError) << bad;
}

// Each accessor's types are checked through the summary record (LibraryPreviewSummaryDecoding); here,
// what is left: a failure names the key by its path.
TEST(JsonObject, AFailureNamesTheKeyByItsPath) {
    const Json value = parsed(R"({"o":{"k":true}})");
    try {
        JsonObject(value, "root").object("o").string("k");
        FAIL() << "no error thrown";
    } catch (const DecodingError& error) {
        EXPECT_NE(std::string(error.what()).find("root.o.k"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace oakenmere::platform
