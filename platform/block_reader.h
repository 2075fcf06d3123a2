#pragma once
// Reading a file in order, in blocks, on a thread of its own: while the caller handles one
// block (writes it, hashes it), the next ones are already being read. At most `depth` blocks
// are in flight, so memory stays at depth × blockSize. A file smaller than one block is read on
// the calling thread.
#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>

#include "platform/bytes.h"
#include "platform/unique_fd.h"

namespace oakenmere::platform {

inline constexpr std::size_t kCopyBlockSize = 1 << 20;

// Calls `consume` on the calling thread with each block of `file`, in order, until the end of
// the file. A read error is thrown on the calling thread; an exception from `consume` stops the
// reading and is passed on. `stop` is checked before each block is handed over. Reads go
// through readSome, so tests can fail the Nth of them with the call hook of file_io.h.
// The SHA-256 of the rest of `file` (64 lower-case hexadecimal digits), read with readInBlocks.
std::string sha256OfFile(const UniqueFd& file, const std::stop_token& stop);

void readInBlocks(const UniqueFd& file, const std::function<void(ByteView)>& consume, const std::stop_token& stop,
                  std::size_t blockSize = kCopyBlockSize, std::size_t depth = 4);

}  // namespace oakenmere::platform
