#pragma once
// A new file that appears under its name whole or not at all, and never replaces anything; and
// the flushes that make such a name durable.
#include <filesystem>
#include <functional>
#include <string>

#include "platform/bytes.h"
#include "platform/unique_fd.h"

namespace oakenmere::platform {

// Where createFileExclusively has got to, for callers that watch it (tests stop or kill there).
enum class ExclusiveCreateStage { writtenUnnamed, named };

// Gives `folder` a file `name` holding `bytes` only if nothing has that name (EEXIST otherwise,
// leaving it untouched). The bytes go to an unnamed file in the folder (O_TMPFILE), which is
// flushed and then linked in: the name never shows a partial file, and a process dying before
// the link leaves nothing behind. Where the file system has no unnamed files, the name is
// created exclusively and written in place; a failure then removes it. The folder is not
// flushed (see flushFolder), so a system crash (power loss) may take the name away again; an
// unnamed file's name then comes back whole or not at all, one written in place possibly short.
void createFileExclusively(const UniqueFd& folder, const std::string& name, ByteView bytes,
                           const std::function<void(ExclusiveCreateStage)>& observe = {});

// Opens `name` in `folder` for writing (never through a symbolic link) and flushes it.
void flushFile(const UniqueFd& folder, const std::string& name);

// Opens the folder at `path` (O_RDONLY | O_DIRECTORY | O_NOFOLLOW) and flushes it, so that the
// names made in it are durable. Any failure of either call is EIO.
void flushFolder(const std::filesystem::path& path);

}  // namespace oakenmere::platform
