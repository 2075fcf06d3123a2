#pragma once
// Replacing a record that readers may see at any moment.
//
// The bytes go to a new file named `temporaryPrefix` + a fresh upper-case UUID + `temporarySuffix`
// in the same folder (created exclusively, mode 0600), are flushed with fsync, renamed over
// `finalName`, and then the folder itself is flushed. A reader sees the whole old file or the
// whole new one, never a mixture. This protects against a crash of the program; after a crash
// of the system either version may be found, and a leftover temporary file keeps its
// recognisable prefix so it can be tidied.
//
// Every failure throws the POSIX error of the failing call and removes the temporary file. A
// failure of the final folder flush is reported although the new file is then already in place.
#include <string>
#include <string_view>

#include "platform/bytes.h"
#include "platform/unique_fd.h"

namespace oakenmere::platform {

void writeFileAtomically(const UniqueFd& folder, const std::string& finalName, ByteView bytes, std::string_view temporaryPrefix,
                         std::string_view temporarySuffix);

}  // namespace oakenmere::platform
