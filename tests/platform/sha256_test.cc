#include "platform/sha256.h"

#include <gtest/gtest.h>

namespace oakenmere::platform {
namespace {

constexpr const char* kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256, KnownVectorsWholeOrInPiecesAndFinishStartsOver) {
    EXPECT_EQ(Sha256::hexOf(asBytes("abc")), kAbc);
    Sha256 hasher;
    for (const char* piece : {"a", "", "bc"}) hasher.update(asBytes(piece));
    EXPECT_EQ(hasher.finishHex(), kAbc);
    EXPECT_EQ(hasher.finishHex(), kEmpty);  // a finished hasher is a fresh one
}

}  // namespace
}  // namespace oakenmere::platform
