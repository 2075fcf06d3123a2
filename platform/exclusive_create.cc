#include "platform/exclusive_create.h"

#include <cerrno>

#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/publish_calls.h"
#include "platform/quoted.h"
#include "platform/uuid.h"

namespace oakenmere::platform {

namespace {

// The file system cannot make hard links (or exclusive renames) at all, as opposed to refusing
// this one.
bool isUnsupported(int err) { return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL || err == EXDEV; }

}  // namespace

void createFileExclusively(const UniqueFd& folder, const std::string& name, ByteView bytes,
                           std::string_view temporaryPrefix) {
    std::string temporary = std::string(temporaryPrefix) + Uuid::random().string() + ".tmp";
    writeNewFile(folder, temporary, bytes);
    const FolderRef here = FolderRef::of(folder);
    int err = hardLink(here, temporary, here, name);
    if (err == 0) {
        unlinkAtIgnoringErrors(folder, temporary);
    } else if (isUnsupported(err)) {
        err = renameNoReplace(here, temporary, here, name);
        if (isUnsupported(err)) {
            unlinkAtIgnoringErrors(folder, temporary);
            writeNewFile(folder, name, bytes);  // last resort: written in place, created exclusively
            err = 0;
        }
    }
    if (err != 0) {
        unlinkAtIgnoringErrors(folder, temporary);
        throwPosixError(err, "create " + inQuotes(name));
    }
    syncDescriptor(folder, "fsync of the folder holding " + inQuotes(name));
}

}  // namespace oakenmere::platform
