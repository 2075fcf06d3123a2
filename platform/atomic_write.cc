#include "platform/atomic_write.h"

#include <fcntl.h>

#include "platform/file_io.h"
#include "platform/quoted.h"
#include "platform/uuid.h"

namespace oakenmere::platform {

void writeFileAtomically(const UniqueFd& folder, const std::string& finalName, ByteView bytes,
                         std::string_view temporaryPrefix, std::string_view temporarySuffix) {
    std::string temporaryName = std::string(temporaryPrefix) + Uuid::random().string() + std::string(temporarySuffix);
    UniqueFd file = openAt(folder, temporaryName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    try {
        writeAll(file, bytes, "write " + inQuotes(temporaryName));
        syncDescriptor(file, "fsync " + inQuotes(temporaryName));
        renameAt(folder, temporaryName, finalName);
        syncDescriptor(folder, "fsync of the folder holding " + inQuotes(finalName));
    } catch (...) {
        file.reset();
        // After a successful rename this finds nothing, which is fine.
        unlinkAtIgnoringErrors(folder, temporaryName);
        throw;
    }
    file.reset();
    unlinkAtIgnoringErrors(folder, temporaryName);
}

}  // namespace oakenmere::platform
