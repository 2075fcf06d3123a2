#include "platform/logger.h"

#include <gtest/gtest.h>
#include <vector>

namespace oakenmere::platform {
namespace {

TEST(Logger, CaptureReceivesEveryRecordUntilReleased) {
    std::vector<LogRecord> records;
    Logger::captureForTesting([&](const LogRecord& record) { records.push_back(record); });
    Logger logger("com.oakenmere.Oakenmere.QuickLook", "preview");
    logger.info("opened \u201CHoliday\u201D");
    logger.error("failed");
    Logger("com.brightloft.Brightloft", "folder-copy").debug("");
    Logger::captureForTesting(nullptr);
    logger.info("to the system log, not to the test");

    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].subsystem, "com.oakenmere.Oakenmere.QuickLook");
    EXPECT_EQ(records[0].category, "preview");
    EXPECT_EQ(records[0].level, LogLevel::info);
    EXPECT_EQ(records[0].message, "opened \u201CHoliday\u201D");
    EXPECT_EQ(records[1].level, LogLevel::error);
    EXPECT_EQ(records[2].category, "folder-copy");
    EXPECT_EQ(records[2].level, LogLevel::debug);
}

}  // namespace
}  // namespace oakenmere::platform
