#include "platform/binary_plist_shape.h"

#include <gtest/gtest.h>

#include "platform/decoding_error.h"
#include "support/hand_made_plist.h"

namespace oakenmere::platform {
namespace {

using testing::binaryPlist;

Bytes array(std::initializer_list<std::uint8_t> references) {
    Bytes object(references);
    object.insert(object.begin(), static_cast<std::uint8_t>(0xA0 | references.size()));
    return object;
}

const Bytes kKey = {0x54, 'n', 'a', 'm', 'e'}, kValue = {0x51, 'x'}, kInteger = {0x10, 0x01};

// One array referring 250 times to one string of `length` letters.
Bytes manyReferencesTo(std::size_t length) {
    Bytes string(4 + length, 'x'), references(3 + 250, 1);
    string[0] = 0x5F, string[1] = 0x11, string[2] = length >> 8, string[3] = length & 0xFF;
    references[0] = 0xAF, references[1] = 0x10, references[2] = 250;
    return binaryPlist({references, string});
}

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
    EXPECT_EQ(shapeFailure(binaryPlist({{0xD2, 1, 2, 2, 2}, kKey, kValue})), "");
    EXPECT_EQ(shapeFailure(binaryPlist({array({1, 2}), array({3}), array({3}), kInteger})), "");
    EXPECT_EQ(shapeFailure(manyReferencesTo(1024)), "");  // a length whose low byte is 0
}

// Shared containers, cycles and strings shared until they expand too far: HostilePackageTest.
TEST(BinaryPlistShape, RefusesDepthAndDamage) {
    std::vector<Bytes> deep;
    for (std::uint8_t i = 0; i < 40; ++i) deep.push_back(array({static_cast<std::uint8_t>(i + 1)}));
    deep.push_back(kInteger);
    Bytes outside = binaryPlist({array({1}), kInteger});
    outside[outside.size() - 32 - 1] = 0xF0;  // the last offset points into the trailer
    Bytes tooMany = binaryPlist({kInteger});
    tooMany[tooMany.size() - 32 + 14] = 0x20;  // 8,192 objects claimed

    const std::pair<const char*, Bytes> cases[] = {
        {"is nested too deeply", binaryPlist(deep)},
        {"refers to a missing object", binaryPlist({array({7}), kInteger})},
        {"refers outside its objects", outside},
        {"has too many objects", tooMany},
        {"has an object that runs past its end", binaryPlist({{0x5F, 0x10, 0x7F, 'a'}})},
        {"is too short", toBytes("bplist00")},
        {"has a string with a NUL in it", binaryPlist({{0xD1, 1, 2}, {0x54, 'n', 0, 'm', 'e'}, kValue})},
        {"has a string with a NUL in it", binaryPlist({{0x62, 0, 'a', 0, 0}})}};
    for (const auto& [expected, bytes] : cases) EXPECT_NE(shapeFailure(bytes).find(expected), std::string::npos) << expected;
}

}  // namespace
}  // namespace oakenmere::platform
