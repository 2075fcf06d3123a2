// Arbitrary bytes as a backup's "backup.json": reading it as validation does never crashes and
// fails only with invalidBackup or a file error; a manifest that decodes encodes to bytes that
// decode to the same manifest.
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/maintenance/library_recovery.h"
#include "fuzz/scratch_folder.h"
#include "platform/decoding_error.h"

using namespace oakenmere;
using LibraryBundle::LibraryBackupManifest;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const LibraryBackupManifest manifest = LibraryBackupManifest::decodeJSON({data, size});
        if (manifest.createdAt.isFinite()) {
            const std::string encoded = manifest.encodeJSON();
            if (!(LibraryBackupManifest::decodeJSON({reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()}) == manifest))
                std::abort();
        }
    } catch (const platform::DecodingError&) {}
    const std::filesystem::path& backup = fuzzing::scratchFolder("backup-manifest-fuzz-");
    platform::unlinkIgnoringErrors(backup / LibraryBackupManifest::fileName);
    platform::writeNewFile(platform::openDirectory(backup), LibraryBackupManifest::fileName, {data, size});
    try {
        LibraryBundle::LibraryRecovery::readManifest(backup);
    } catch (const LibraryBundle::LibraryRecoveryError&) {}
    return 0;
}
