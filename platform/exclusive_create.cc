#include "platform/exclusive_create.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>

#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/publish_calls.h"
#include "platform/quoted.h"
#include "platform/uuid.h"

namespace oakenmere::platform {

namespace {

// The file system cannot make hard links at all, as opposed to refusing this one.
bool isUnsupported(int err) { return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL || err == EXDEV; }

bool isTemporaryName(std::string_view name, std::string_view prefix) {
    constexpr std::string_view suffix = ".tmp";
    if (!name.starts_with(prefix) || !name.ends_with(suffix)) return false;
    name.remove_prefix(prefix.size());
    name.remove_suffix(suffix.size());
    return name.size() == 36 && Uuid::parse(name).has_value();
}

}  // namespace

void createFileExclusively(const UniqueFd& folder, const std::string& name, ByteView bytes,
                           std::string_view temporaryPrefix, const std::function<void(ExclusiveCreateStage)>& observe) {
    const std::string temporary = std::string(temporaryPrefix) + Uuid::random().string() + ".tmp";
    writeNewFile(folder, temporary, bytes);
    try {
        if (observe) observe(ExclusiveCreateStage::temporaryWritten);
        const FolderRef here = FolderRef::of(folder);
        int err = hardLink(here, temporary, here, name);
        if (isUnsupported(err)) err = renameNoReplace(here, temporary, here, name);
        if (err != 0) throwPosixError(err, "create " + inQuotes(name));
        if (observe) observe(ExclusiveCreateStage::named);
    } catch (...) {
        unlinkAtIgnoringErrors(folder, temporary);
        throw;
    }
    unlinkAtIgnoringErrors(folder, temporary);  // gone already after a rename
}

void removeTemporaryFiles(const std::filesystem::path& path, std::string_view temporaryPrefix) noexcept {
    UniqueFd folder, listing;
    try {
        folder = openDirectory(path);
        listing = openAt(folder, ".", O_RDONLY | O_DIRECTORY);
    } catch (const std::exception&) {
        return;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing.get()), ::closedir);
    if (!entries) return;
    listing.release();  // closedir closes it
    while (const dirent* entry = ::readdir(entries.get())) {
        const std::string_view name = entry->d_name;
        if (!isTemporaryName(name, temporaryPrefix)) continue;
        auto status = statAtFolder(folder.get(), std::string(name));
        if (status && status->isRegular()) unlinkAtIgnoringErrors(folder, std::string(name));
    }
}

void flushFile(const UniqueFd& folder, const std::string& name) {
    UniqueFd file = openAt(folder, name, O_WRONLY | O_NOFOLLOW);
    syncDescriptor(file, "fsync " + inQuotes(name));
}

void flushFolder(const std::filesystem::path& path) {
    UniqueFd folder;
    try {
        folder = openPath(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        syncDescriptor(folder, "fsync " + inQuotes(path.string()));
    } catch (const std::system_error& error) {
        // Callers only need to know the name may not be durable.
        throwPosixError(EIO, error.what());
    }
}

}  // namespace oakenmere::platform
