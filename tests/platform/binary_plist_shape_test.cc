#include "platform/binary_plist_shape.h"

#include <gtest/gtest.h>

#include "platform/decoding_error.h"

namespace oakenmere::platform {
namespace {

// A binary property list from its objects' encodings, with one-byte references and two-byte
// offsets; the first object is the top.
Bytes bplist(const std::vector<Bytes>& objects) {
    Bytes out = toBytes("bplist00");
    std::vector<std::size_t> offsets;
    for (const auto& object : objects) offsets.push_back(out.size()), out.insert(out.end(), object.begin(), object.end());
    const std::size_t table = out.size();
    for (std::size_t offset : offsets) out.push_back(offset >> 8), out.push_back(offset & 0xFF);
    Bytes trailer(32, 0);
    trailer[6] = 2, trailer[7] = 1, trailer[15] = static_cast<std::uint8_t>(objects.size());
    trailer[30] = table >> 8, trailer[31] = table & 0xFF;
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

Bytes array(std::initializer_list<std::uint8_t> references) {
    Bytes object(references);
    object.insert(object.begin(), static_cast<std::uint8_t>(0xA0 | references.size()));
    return object;
}

const Bytes kKey = {0x54, 'n', 'a', 'm', 'e'}, kValue = {0x51, 'x'}, kInteger = {0x10, 0x01};

std::string shapeFailure(const Bytes& bytes) {
    try {
        checkBinaryPropertyListShape(bytes);
        return "";
    } catch (const DecodingError& error) {
        return error.what();
    }
}

TEST(BinaryPlistShape, AcceptsTreesWhoseLeavesAreShared) {
    // {"name": "x", "x": "x"}: writers share equal strings, and that costs nothing.
    EXPECT_EQ(shapeFailure(bplist({{0xD2, 1, 2, 2, 2}, kKey, kValue})), "");
    EXPECT_EQ(shapeFailure(bplist({array({1, 2}), array({3}), array({3}), kInteger})), "");
}

TEST(BinaryPlistShape, RefusesGraphsCyclesDepthAndDamage) {
    // Thirty arrays, each holding the next one twice: 2^30 nodes once expanded.
    std::vector<Bytes> doubling;
    for (std::uint8_t i = 0; i < 30; ++i) doubling.push_back(array({static_cast<std::uint8_t>(i + 1), static_cast<std::uint8_t>(i + 1)}));
    doubling.push_back(kInteger);
    std::vector<Bytes> deep;
    for (std::uint8_t i = 0; i < 40; ++i) deep.push_back(array({static_cast<std::uint8_t>(i + 1)}));
    deep.push_back(kInteger);
    Bytes outside = bplist({array({1}), kInteger});
    outside[outside.size() - 32 - 1] = 0xF0;  // the last offset points into the trailer
    Bytes tooMany = bplist({kInteger});
    tooMany[tooMany.size() - 32 + 14] = 0x20;  // 8,192 objects claimed

    const std::pair<const char*, Bytes> cases[] = {
        {"refers to one container more than once", bplist(doubling)},
        {"refers to one container more than once", bplist({array({0})})},
        {"is nested too deeply", bplist(deep)},
        {"refers to a missing object", bplist({array({7}), kInteger})},
        {"refers outside its objects", outside},
        {"has too many objects", tooMany},
        {"has an object that runs past its end", bplist({{0x5F, 0x10, 0x7F, 'a'}})},
        {"is too short", toBytes("bplist00")},
        {"has a string with a NUL in it", bplist({{0xD1, 1, 2}, {0x54, 'n', 0, 'm', 'e'}, kValue})},
        {"has a string with a NUL in it", bplist({{0x62, 0, 'a', 0, 0}})},
    };
    for (const auto& [expected, bytes] : cases) EXPECT_NE(shapeFailure(bytes).find(expected), std::string::npos) << expected;
}

}  // namespace
}  // namespace oakenmere::platform
