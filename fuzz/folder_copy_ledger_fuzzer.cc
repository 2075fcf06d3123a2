// Arbitrary bytes as both of a folder copy job's ledgers, ".copied.jsonl" and ".claiming.jsonl",
// and as a camera download folder's ".landed.jsonl": reading never crashes, skips what it cannot
// decode rather than failing, never names a file outside the folder, and never writes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <vector>

#include "LibraryBundle/staging/camera_download_ledger.h"
#include "LibraryBundle/staging/folder_copy_ledger.h"
#include "fuzz/scratch_folder.h"
#include "platform/file_io.h"

using namespace oakenmere;
using LibraryBundle::CameraDownloadLedger;
using LibraryBundle::FolderCopyLedger;

namespace {

const std::filesystem::path& folder() { return fuzzing::scratchFolder("folder-copy-ledger-fuzz-"); }

// Replaced in place and not flushed: the reader sees the page cache either way.
void place(const char* name, platform::ByteView bytes) {
    platform::UniqueFd file = platform::openAt(platform::openDirectory(folder()), name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    platform::writeAll(file, bytes, name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    place(FolderCopyLedger::fileName, {data, size});
    place(FolderCopyLedger::claimsFileName, {data, size});
    place(CameraDownloadLedger::fileName, {data, size});

    const FolderCopyLedger ledger(folder());
    for (const auto& [source, entry] : ledger.entries())
        if (source != entry.source) std::abort();
    (void)ledger.claimed();
    const std::string inside = folder().string() + "/";
    for (const auto& [path, entry] : CameraDownloadLedger(folder()).entries()) {
        const std::filesystem::path relative = path.substr(inside.size());
        if (!path.starts_with(inside) || path != inside + entry.path) std::abort();
        if (std::any_of(relative.begin(), relative.end(), [](const auto& piece) { return piece == ".." || piece == "."; })) std::abort();
    }

    static const std::vector<std::string> expected = {FolderCopyLedger::claimsFileName, FolderCopyLedger::fileName,
                                                      CameraDownloadLedger::fileName};
    std::vector<std::string> names = platform::listDirectory(folder());
    std::sort(names.begin(), names.end());
    if (names != expected) std::abort();  // reading must not write
    return 0;
}
