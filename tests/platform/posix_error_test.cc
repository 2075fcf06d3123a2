#include "platform/posix_error.h"

#include <cerrno>
#include <gtest/gtest.h>

#include "support/failure.h"

namespace oakenmere::platform {
namespace {

TEST(PosixError, GenericErrorsCarryTheirCodeAndContextAndUnknownCodesBecomeEIO) {
    for (int err : {ENOENT, ELOOP, EISDIR, ENOTEMPTY, EACCES}) EXPECT_EQ(knownErrnoOrEIO(err), err);
    for (int err : {0, -1, 4095, 99999}) EXPECT_EQ(knownErrnoOrEIO(err), EIO) << err;
    std::system_error error = posixError(ENOENT, "open \u201CInfo.plist\u201D");
    EXPECT_TRUE(isPosixError(error, ENOENT) && !isPosixError(error, EIO));
    EXPECT_NE(std::string(error.what()).find("open \u201CInfo.plist\u201D"), std::string::npos);
    EXPECT_FALSE(isPosixError(std::system_error(ENOENT, std::system_category()), ENOENT));
    errno = 99999;
    EXPECT_EQ(testing::failureOf([] { throwLastPosixError("read"); }), testing::errnoName(EIO));
}

}  // namespace
}  // namespace oakenmere::platform
