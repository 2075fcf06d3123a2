#pragma once
// What the import tests make and check: cards of random and real pictures, a look at a running
// import, and a check that a library holds every wanted content once with nothing left behind.
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace oakenmere::testing {

std::string randomBytes(std::mt19937& random, std::size_t size);
// A real JPEG picture of this width.
std::string picture(int width);

// Whether the child has ended; it is left to be reaped by finish().
bool hasEnded(const ChildProcess& child);

// A file under `folder` whose name starts with `prefix` and that holds at least `bytes`; empty
// when there is none (yet). Files may come and go meanwhile.
fs::path fileNamed(const fs::path& folder, std::string_view prefix, std::uintmax_t bytes = 0);

// "N contents, each once" when the library holds each distinct content of the regular files in
// `folders` exactly once and nothing else, every file under Masters is catalogued with its
// checksum and size and every catalogued file is there, no temporary file is left anywhere in
// the package, no import waits and no camera download is left; otherwise what is wrong.
std::string libraryCheck(const fs::path& library, const std::vector<fs::path>& folders);

// The preview's capture count and whether it says an import waits.
std::string previewOf(const fs::path& library);

// `count` files in 13 folders under "DCIM", under names that repeat from folder to folder: mostly
// 1–64 KiB of random bytes, a few of several MiB, some real pictures, every 17th the bytes of an
// earlier one. Returns how many distinct contents they hold.
std::size_t makeCard(const TempDir& dir, const fs::path& card, int count);

}  // namespace oakenmere::testing
