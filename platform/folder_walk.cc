#include "platform/folder_walk.h"

#include <cerrno>
#include <fcntl.h>
#include <vector>

#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::platform {

namespace {

void walkListed(const UniqueFd& folder, const std::filesystem::path& path, const std::vector<std::string>& names, const FolderWalk& walk) {
    for (const std::string& name : names) {
        const std::filesystem::path inner = path / name;
        auto status = statAtFolder(folder.get(), name);
        if (!status && errno == ENOENT) continue;
        if (!status) throwLastPosixError("lstat " + inQuotes(inner.string()));
        if (walk.entry) walk.entry(inner, *status);
        if (!status->isDirectory() || (walk.enter && !walk.enter(inner))) continue;
        UniqueFd inside;
        std::vector<std::string> listed;
        try {
            inside = openAt(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            listed = listDirectory(inside, inner);
        } catch (const std::system_error& error) {
            if (!walk.unreadable) throw;
            walk.unreadable(inner, error);
            continue;
        }
        walkListed(inside, inner, listed, walk);
        if (walk.leaving) walk.leaving(folder, name);
    }
}

}  // namespace

void walkFolder(const UniqueFd& folder, const std::filesystem::path& path, const FolderWalk& walk) {
    walkListed(folder, path, listDirectory(folder, path), walk);
}

}  // namespace oakenmere::platform
