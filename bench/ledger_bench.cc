// The folder copy ledger against the floor a durable append cannot beat, in one run:
//   appends   10,000 FolderCopyLedger::append calls (each flushed) against a plain loop of
//             write()+fdatasync() of the same lines on one descriptor opened O_APPEND
//   reading   entries() over 100,000 lines, with the peak RSS growth it costs: once with one
//             source written again and again (memory should stay flat), once with all distinct
//             (memory follows the keys)
// The peak is reset before each reading (Linux's /proc/self/clear_refs), so one left by writing
// the ledger cannot hide the reading's growth; the reading also runs before the appends.
//
//   bench-ledger [FOLDER]   (default ./build-s2/bench-scratch when it exists, else /tmp)
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "LibraryBundle/staging/folder_copy_ledger.h"
#include "platform/file_io.h"
#include "platform/uuid.h"

using namespace oakenmere;
using LibraryBundle::FolderCopyLedger;
namespace fs = std::filesystem;

namespace {

constexpr int kAppends = 10'000;
constexpr int kReadLines = 100'000;

double seconds(auto&& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peakRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Where the reset is refused the growth shown is a lower bound.
void resetPeakRss() {
    try {
        platform::UniqueFd file = platform::openPath("/proc/self/clear_refs", O_WRONLY);
        platform::writeAll(file, platform::asBytes(std::string("5")), "clear_refs");
    } catch (const std::system_error&) {}
}

// A record the size of a real one: camera paths, a full hash.
FolderCopyLedger::Entry entry(int source, int line) {
    char name[64];
    std::snprintf(name, sizeof name, "IMG_%06d.JPG", source);
    const LibraryBundle::SourceIdentity identity{
        2049, static_cast<std::uint64_t>(1'000'000 + source), 4'000'000 + line, 1'710'000'000 + line, line, 1'710'000'100 + line, line};
    return {identity,
            "/media/ann/EOS_DIGITAL/DCIM/100CANON/" + std::string(name),
            "2024/03/" + std::string(name),
            std::string(64, "0123456789abcdef"[line % 16]),
            false,
            true};
}

// Plain buffered writes: only the reading is timed here.
void writeLedger(const fs::path& folder, int lines, bool oneSource) {
    platform::UniqueFd file =
        platform::openAt(platform::openDirectory(folder), FolderCopyLedger::fileName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    std::string buffer;
    for (int i = 0; i < lines; ++i) {
        buffer += entry(oneSource ? 0 : i, i).encodeJSON() + "\n";
        if (buffer.size() >= (1 << 20) || i + 1 == lines) {
            platform::writeAll(file, platform::asBytes(buffer), "write ledger");
            buffer.clear();
        }
    }
}

void measureReading(const fs::path& folder, bool oneSource) {
    platform::makeFolder(folder, 0700);
    writeLedger(folder, kReadLines, oneSource);
    resetPeakRss();
    const long before = peakRssKiB();
    std::size_t keys = 0;
    const double taken = seconds([&] { keys = FolderCopyLedger(folder).entries().size(); });
    const long growth = peakRssKiB() - before;
    std::printf("entries() %d lines, %6zu distinct sources: %.3f s, %.0f lines/s, peak RSS +%ld KiB\n", kReadLines, keys, taken,
                kReadLines / taken, growth);
}

}  // namespace

int main(int argc, char** argv) {
    fs::path base = argc > 1 ? fs::path(argv[1]) : fs::exists("build-s2") ? fs::path("build-s2/bench-scratch") : fs::path("/tmp");
    const fs::path scratch = fs::absolute(base) / ("ledger-bench-" + platform::Uuid::random().string());
    platform::makeFolderTree(scratch, 0700);

    measureReading(scratch / "one-source", true);
    measureReading(scratch / "distinct", false);

    std::vector<FolderCopyLedger::Entry> entries;
    std::vector<std::string> lines;
    for (int i = 0; i < kAppends; ++i) {
        entries.push_back(entry(i, i));
        lines.push_back(entries.back().encodeJSON() + "\n");
    }

    const fs::path ours = scratch / "ours";
    platform::makeFolder(ours, 0700);
    const FolderCopyLedger ledger(ours);
    const double oursSeconds = seconds([&] {
        for (const auto& e : entries) ledger.append(e);
    });

    const fs::path floorFolder = scratch / "floor";
    platform::makeFolder(floorFolder, 0700);
    platform::UniqueFd floorFile = platform::openAt(platform::openDirectory(floorFolder), FolderCopyLedger::fileName,
                                                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0600);
    const double floorSeconds = seconds([&] {
        for (const std::string& line : lines) {
            if (::write(floorFile.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
                ::fdatasync(floorFile.get()) != 0) {
                std::perror("floor");
                std::exit(1);
            }
        }
    });

    const std::size_t read = ledger.entries().size();
    platform::removeTreeIgnoringErrors(scratch);
    if (read != static_cast<std::size_t>(kAppends)) {
        std::fprintf(stderr, "the ledger holds %zu entries, not %d\n", read, kAppends);
        return 1;
    }
    std::printf("append    %d entries in %s\n", kAppends, base.c_str());
    std::printf("ours      %8.0f appends/s  (FolderCopyLedger::append: open, fstat, pread, write, fsync, close)\n", kAppends / oursSeconds);
    std::printf("floor     %8.0f appends/s  (write + fdatasync on one O_APPEND descriptor)\n", kAppends / floorSeconds);
    std::printf("ratio     %8.2f ours/floor\n", floorSeconds / oursSeconds);
    return 0;
}
