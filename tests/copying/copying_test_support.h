#pragma once
// What the copying tests look at on disk: file contents and inodes, the names in a folder, and
// reproducible contents of any size; the reads, flushes and closes the platform layer makes; and
// names swapped under running operations.
#include <atomic>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <stdio.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "platform/sha256.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::testing {

namespace fs = std::filesystem;

// Bytes that differ at every offset and from seed to seed, so a misplaced block shows.
inline std::string patternBytes(std::size_t size, std::uint64_t seed) {
    std::string out(size, '\0');
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (std::size_t i = 0; i < size; ++i) {
        if (i % 8 == 0) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
        }
        out[i] = static_cast<char>(x >> (8 * (i % 8)));
    }
    return out;
}

inline void appendTo(const fs::path& path, std::string_view bytes) { std::ofstream(path, std::ios::binary | std::ios::app) << bytes; }

// What a file holds ("" when it cannot be read) in one read: sweeps look after every run, and
// contentsOf's stream copy takes ten times as long.
inline std::string bytesOf(const fs::path& path) {
    std::error_code notRegular;
    const std::uintmax_t size = fs::file_size(path, notRegular);
    std::string bytes(notRegular ? 0 : size + 1, '\0');  // a byte more, so that a longer file shows
    std::ifstream in(path, std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

inline std::string sha256Of(std::string_view bytes) { return platform::Sha256::hexOf(platform::asBytes(bytes)); }

// Whether the file holds exactly `bytes`; a failure names sizes and checksums instead of
// printing megabytes.
inline ::testing::AssertionResult holds(const fs::path& path, std::string_view bytes) {
    const std::string found = bytesOf(path);
    if (found == bytes) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << " holds " << found.size() << " bytes (" << sha256Of(found) << "), not " << bytes.size()
                                         << " (" << sha256Of(bytes) << ")";
}

// The file object behind a name, and what it holds: equal only if neither was touched.
struct FileState {
    std::uint64_t inode = 0;
    std::int64_t modifiedNanoseconds = 0;  // since the epoch
    std::string bytes;
    bool operator==(const FileState&) const = default;
};

inline void PrintTo(const FileState& state, std::ostream* out) {
    *out << "inode " << state.inode << ", modified " << state.modifiedNanoseconds << ", " << state.bytes.size() << " bytes ("
         << sha256Of(state.bytes) << ")";
}

inline std::optional<FileState> stateOf(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return FileState{st.st_ino, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec,
                     S_ISREG(st.st_mode) ? bytesOf(path) : std::string()};
}

inline std::vector<std::string> namesStartingWith(const fs::path& folder, std::string_view prefix) {
    std::vector<std::string> names = namesIn(folder);
    std::erase_if(names, [&](const std::string& name) { return !name.starts_with(prefix); });
    return names;
}

// Runs `operation` (given its number) at least `atLeast` times while `a` and `b` are exchanged
// (renameat2 RENAME_EXCHANGE), and on until `enough` says so, at most a hundred times as often;
// the names are back in place afterwards.
inline void whileExchanging(const fs::path& a, const fs::path& b, const std::function<void(int)>& operation,
                            const std::function<bool()>& enough, int atLeast = 200) {
    std::atomic<bool> done{false};
    std::atomic<long> swaps{0};
    auto exchange = [&] { return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0; };
    std::thread swapper([&] {
        while (!done && swaps < 2'000'000 && exchange()) ++swaps;
    });
    while (swaps < 2) std::this_thread::yield();
    for (int i = 0; i < 100 * atLeast && (i < atLeast || !enough()); ++i) operation(i);
    done = true;
    swapper.join();
    if (swaps % 2) exchange();
}

}  // namespace oakenmere::testing
