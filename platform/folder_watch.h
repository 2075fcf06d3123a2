#pragma once
// Being told of files that arrive in a folder (inotify): a file written and closed there, or
// moved in whole. Only names are reported; the caller opens them as it would any file.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace oakenmere::platform {

class FolderWatch {
public:
    // Watches the folder at `path`; a folder that cannot be watched is a POSIX error.
    explicit FolderWatch(const std::filesystem::path& path);
    // The names that arrived, waiting at most `timeout` for the first; empty when none came.
    std::vector<std::string> arrivals(std::chrono::milliseconds timeout);

private:
    UniqueFd watch_;
};

}  // namespace oakenmere::platform
