#pragma once
// The kernel's table of file locks (/proc/locks), read to learn whether a file is locked
// without taking the lock: taking it, even for a moment, would turn away a program that
// opens the library at that moment.
#include <cstdint>
#include <initializer_list>

namespace oakenmere::platform {

// Whether some open file holds a flock lock (shared or exclusive, not one merely waiting) on
// the file with this inode number on one of `devices` (a file system may be known by more than
// one). Throws when the table cannot be read.
bool hasFlockHolder(std::initializer_list<std::uint64_t> devices, std::uint64_t inode);

}  // namespace oakenmere::platform
