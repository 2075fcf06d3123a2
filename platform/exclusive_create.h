#pragma once
// A new file that appears under its name whole or not at all, and never replaces anything; and
// the flushes that make such a name durable.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "platform/bytes.h"
#include "platform/unique_fd.h"

namespace oakenmere::platform {

// Where createFileExclusively has got to, for callers that watch it (tests stop or kill there).
enum class ExclusiveCreateStage { temporaryWritten, named };

// Writes `bytes` to a temporary file in `folder` (named `temporaryPrefix` + UUID + ".tmp"),
// flushes it, and gives it the name `name` only if nothing has that name: a hard link, or on
// file systems without links an exclusive rename. Fails with EEXIST when `name` exists, leaving
// it untouched, and with the call's error when neither call is possible; the name never shows a
// partial file. Every failure, `observe` throwing included, removes the temporary file; a name
// already given stays for the caller to remove. The folder is not flushed (see flushFolder). If
// the process dies, a temporary file may stay: see removeTemporaryFiles.
void createFileExclusively(const UniqueFd& folder, const std::string& name, ByteView bytes,
                           std::string_view temporaryPrefix,
                           const std::function<void(ExclusiveCreateStage)>& observe = {});

// Removes the regular files named `temporaryPrefix` + UUID + ".tmp" in the folder at `path`
// (not followed if it is a link): what createFileExclusively leaves when its process dies.
// Tidying only, so errors are ignored.
void removeTemporaryFiles(const std::filesystem::path& path, std::string_view temporaryPrefix) noexcept;

// Opens `name` in `folder` for writing (never through a symbolic link) and flushes it.
void flushFile(const UniqueFd& folder, const std::string& name);

// Opens the folder at `path` (O_RDONLY | O_DIRECTORY | O_NOFOLLOW) and flushes it, so that the
// names made in it are durable. Any failure of either call is EIO.
void flushFolder(const std::filesystem::path& path);

}  // namespace oakenmere::platform
