#include "platform/logger.h"

#include <mutex>
#include <syslog.h>

namespace oakenmere::platform {

namespace {
std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}
std::function<void(const LogRecord&)>& testSink() {
    static std::function<void(const LogRecord&)> sink;
    return sink;
}
int priorityOf(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return LOG_DEBUG;
    case LogLevel::info: return LOG_INFO;
    case LogLevel::notice: return LOG_NOTICE;
    case LogLevel::error: return LOG_ERR;
    }
    return LOG_INFO;
}
}  // namespace

Logger::Logger(std::string subsystem, std::string category) : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string_view message) const {
    {
        std::lock_guard lock(sinkMutex());
        if (auto& sink = testSink()) {
            sink(LogRecord{subsystem_, category_, level, std::string(message)});
            return;
        }
    }
    ::syslog(LOG_USER | priorityOf(level), "[%s:%s] %.*s", subsystem_.c_str(), category_.c_str(), static_cast<int>(message.size()),
             message.data());
}

void Logger::captureForTesting(std::function<void(const LogRecord&)> sink) {
    std::lock_guard lock(sinkMutex());
    testSink() = std::move(sink);
}

}  // namespace oakenmere::platform
