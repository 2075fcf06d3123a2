#pragma once
// A small system-log writer that carries a subsystem and a category with every line, like the
// platform logger the package layer was designed for. Lines go to syslog (journald picks them
// up); a test can route them to itself instead.
#include <functional>
#include <string>
#include <string_view>

namespace oakenmere::platform {

// `notice` is the system log's default level.
enum class LogLevel { debug, info, notice, error };

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string message;
};

class Logger {
public:
    Logger(std::string subsystem, std::string category);

    void debug(std::string_view message) const { log(LogLevel::debug, message); }
    void info(std::string_view message) const { log(LogLevel::info, message); }
    void notice(std::string_view message) const { log(LogLevel::notice, message); }
    void error(std::string_view message) const { log(LogLevel::error, message); }
    void log(LogLevel level, std::string_view message) const;

    const std::string& subsystem() const noexcept { return subsystem_; }
    const std::string& category() const noexcept { return category_; }

    // While set, records go to `sink` and not to syslog. Pass nullptr to restore.
    static void captureForTesting(std::function<void(const LogRecord&)> sink);

private:
    std::string subsystem_;
    std::string category_;
};

}  // namespace oakenmere::platform
