#pragma once
// A new file that appears under its name whole or not at all, and never replaces anything.
#include <string>
#include <string_view>

#include "platform/bytes.h"
#include "platform/unique_fd.h"

namespace oakenmere::platform {

// Writes `bytes` to a temporary file in `folder` (named `temporaryPrefix` + UUID + ".tmp"),
// flushes it, and gives it the name `name` only if nothing has that name: a hard link, or on
// file systems without links an exclusive rename, or as a last resort the file is written in
// place, created exclusively. The folder is flushed afterwards. Fails with EEXIST when `name`
// exists, leaving it untouched; every failure removes the temporary file.
void createFileExclusively(const UniqueFd& folder, const std::string& name, ByteView bytes,
                           std::string_view temporaryPrefix);

}  // namespace oakenmere::platform
