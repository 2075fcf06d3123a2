#include "platform/xdg.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::platform {

std::filesystem::path home() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

std::string userName() {
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_name) return entry->pw_name;
    if (const char* user = std::getenv("USER"); user) return user;
    return {};
}

namespace {

// Relative values are ignored, as the rules ask.
std::filesystem::path fromEnvironment(const char* variable, const std::filesystem::path& fallback) {
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') return value;
    return home() / fallback;
}

}  // namespace

std::filesystem::path cacheHome() { return fromEnvironment("XDG_CACHE_HOME", ".cache"); }
std::filesystem::path configHome() { return fromEnvironment("XDG_CONFIG_HOME", ".config"); }
std::filesystem::path dataHome() { return fromEnvironment("XDG_DATA_HOME", ".local/share"); }

void makeFolders(const std::filesystem::path& path) { makeFolderTree(path, 0700); }

}  // namespace oakenmere::platform
