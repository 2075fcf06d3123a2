#include "platform/exclusive_create.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"
#include "platform/uuid.h"

namespace oakenmere::platform {

namespace {

// The file system cannot make hard links (or exclusive renames) at all, as opposed to refusing
// this one.
bool isUnsupported(int err) { return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL || err == EXDEV; }

void writeInPlace(const UniqueFd& folder, const std::string& name, ByteView bytes) {
    UniqueFd file = openAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    try {
        writeAll(file, bytes, "write " + inQuotes(name));
        syncDescriptor(file, "fsync " + inQuotes(name));
    } catch (...) {
        file.reset();
        unlinkAtIgnoringErrors(folder, name);  // ours: made exclusively a moment ago
        throw;
    }
}

}  // namespace

void createFileExclusively(const UniqueFd& folder, const std::string& name, ByteView bytes,
                           std::string_view temporaryPrefix) {
    std::string temporary = std::string(temporaryPrefix) + Uuid::random().string() + ".tmp";
    {
        UniqueFd file = openAt(folder, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        try {
            writeAll(file, bytes, "write " + inQuotes(temporary));
            syncDescriptor(file, "fsync " + inQuotes(temporary));
        } catch (...) {
            unlinkAtIgnoringErrors(folder, temporary);
            throw;
        }
    }
    int err = 0;
    if (::linkat(folder.get(), temporary.c_str(), folder.get(), name.c_str(), 0) == 0) {
        unlinkAtIgnoringErrors(folder, temporary);
    } else if (err = errno; isUnsupported(err)) {
        if (::renameat2(folder.get(), temporary.c_str(), folder.get(), name.c_str(), RENAME_NOREPLACE) == 0) {
            err = 0;
        } else if (err = errno; isUnsupported(err)) {
            unlinkAtIgnoringErrors(folder, temporary);
            writeInPlace(folder, name, bytes);
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
