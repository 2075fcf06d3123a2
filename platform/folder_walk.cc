#include "platform/folder_walk.h"

#include <fcntl.h>

#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::platform {

void walkFolder(const UniqueFd& folder, const std::filesystem::path& path, const FolderWalk& walk) {
    for (const std::string& name : listDirectory(folder, path)) {
        const std::filesystem::path inner = path / name;
        auto status = statAtFolder(folder.get(), name);
        if (!status) throwLastPosixError("lstat " + inQuotes(inner.string()));
        if (walk.entry) walk.entry(inner, *status);
        if (!status->isDirectory()) continue;
        walkFolder(openAt(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW), inner, walk);
        if (walk.leaving) walk.leaving(folder, name);
    }
}

}  // namespace oakenmere::platform
