#include "platform/atomic_write.h"

#include <fcntl.h>

#include "platform/file_io.h"
#include "platform/quoted.h"
#include "platform/uuid.h"

namespace oakenmere::platform {

void writeFileAtomically(const UniqueFd& folder, const std::string& finalName, ByteView bytes, std::string_view temporaryPrefix,
                         std::string_view temporarySuffix) {
    std::string temporaryName = std::string(temporaryPrefix) + Uuid::random().string() + std::string(temporarySuffix);
    writeNewFile(folder, temporaryName, bytes);
    try {
        renameAt(folder, temporaryName, finalName);
        syncDescriptor(folder, "fsync of the folder holding " + inQuotes(finalName));
    } catch (...) {
        // After a successful rename this finds nothing, which is fine.
        unlinkAtIgnoringErrors(folder, temporaryName);
        throw;
    }
    unlinkAtIgnoringErrors(folder, temporaryName);
}

}  // namespace oakenmere::platform
