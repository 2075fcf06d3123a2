// Arbitrary bytes as a photo, a RAW file and a video: reading their metadata and the picture to
// show never crashes, never throws for what the bytes hold, and never writes.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>

#include "catalogue/photo_metadata.h"
#include "fuzz/scratch_folder.h"
#include "platform/file_io.h"

using namespace oakenmere;

namespace {

const std::filesystem::path& folder() { return fuzzing::scratchFolder("photo-metadata-fuzz-"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The last byte picks the name (and so the kind); Exiv2 tells the format by the content.
    static const char* const names[] = {"a.jpg", "a.cr2", "a.dng", "a.nef", "a.heic", "a.png", "a.tif", "a.mov"};
    const char* name = names[size ? data[size - 1] % 8 : 0];
    {
        platform::UniqueFd file =
            platform::openAt(platform::openDirectory(folder()), name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
        platform::writeAll(file, {data, size}, name);
    }
    const std::filesystem::path path = folder() / name;
    const catalogue::PhotoMetadata metadata = catalogue::readMetadata(path);
    if (metadata.kind != catalogue::kindOf(path)) std::abort();
    (void)catalogue::displayableJpeg(path);
    platform::unlinkPath(path);
    return 0;
}
