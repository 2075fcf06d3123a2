#pragma once
// The kernel's table of file locks (/proc/locks), read to learn whether a file is locked
// without taking the lock: taking it, even for a moment, would turn away a program that
// opens the library at that moment.
#include <cstdint>

namespace oakenmere::platform {

// Whether some open file holds a flock lock (shared or exclusive, not one merely waiting) on
// the file with this device and inode number. Throws when the table cannot be read.
bool hasFlockHolder(std::uint64_t device, std::uint64_t inode);

}  // namespace oakenmere::platform
