#include "platform/json.h"

#include <gtest/gtest.h>

namespace oakenmere::platform {
namespace {

Json parsed(std::string_view text) { return parseJson(asBytes(text)); }

TEST(Json, CompactOutputIsSortedWithEscapedSlashes) {
    Json value = {{"zeta", 1}, {"alpha", {{"b", "x/y"}, {"a", Json::array({1.5, nullptr})}}}, {"mid", "a\\/b"}};
    const std::string expected = R"({"alpha":{"a":[1.5,null],"b":"x\/y"},"mid":"a\\\/b","zeta":1})";
    EXPECT_EQ(encodeCompactJson(value), expected);
    EXPECT_EQ(parsed(expected), value);
    EXPECT_EQ(parsed(R"("x\/y")"), "x/y");
    EXPECT_EQ(encodePrettyJson(Json{{"b", "/"}, {"a", 1}}), "{\n  \"a\": 1,\n  \"b\": \"\\/\"\n}");
}

TEST(Json, InvalidUtf8IsReplacedAndBadTextRefused) {
    EXPECT_EQ(encodeCompactJson(Json("a\xFF")), "\"a\xEF\xBF\xBD\"");
    for (std::string_view text : {"", "{", "{} {}", "{\"a\":1,}", "nul"})
        EXPECT_THROW(parsed(text), DecodingError) << text;
}

TEST(JsonObject, IntegersMustFitSigned64Bits) {
    auto int64 = [](std::string_view number) { return JsonObject(parsed(R"({"n":)" + std::string(number) + "}"), "").int64("n"); };
    EXPECT_EQ(int64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(int64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(int64("5.0"), 5);
    EXPECT_EQ(int64("-0.0"), 0);
    EXPECT_EQ(int64("5e2"), 500);
    for (std::string_view bad : {"9223372036854775808", "18446744073709551615", "18446744073709551616", "1e300", "5.5",
                                 "\"5\"", "true", "null", "[5]"})
        EXPECT_THROW(int64(bad), DecodingError) << bad;
    // Below INT64_MIN the parser falls back to a double, which rounds to exactly -2^63.
    EXPECT_THROW(int64("-9223372036854775809"), DecodingError);
}

// Each accessor's types are checked through the summary record (LibraryPreviewSummaryTest); here,
// what is left: a failure names the key by its path.
TEST(JsonObject, AFailureNamesTheKeyByItsPath) {
    Json value = parsed(R"({"none":null,"o":{"k":true}})");
    JsonObject json(value, "root");
    EXPECT_EQ(json.optionalInt64("none"), std::nullopt);
    EXPECT_THROW(JsonObject(parsed("[]"), "root"), DecodingError);
    try {
        json.object("o").string("k");
        FAIL() << "no error thrown";
    } catch (const DecodingError& error) {
        EXPECT_NE(std::string(error.what()).find("root.o.k"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace oakenmere::platform
