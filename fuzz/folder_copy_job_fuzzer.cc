// Arbitrary bytes as a folder copy job's "job.json": decoding never crashes, fails only with
// DecodingError, and a job that decodes encodes to bytes that decode to the same job.
#include <cstdint>
#include <cstdlib>

#include "LibraryBundle/staging/folder_copy_job.h"
#include "platform/decoding_error.h"

using namespace oakenmere;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using LibraryBundle::FolderCopyJob;
    try {
        FolderCopyJob job = FolderCopyJob::decodeJSON({data, size});
        const std::string encoded = job.encodeJSON();
        if (!(FolderCopyJob::decodeJSON({reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()}) == job)) std::abort();
    } catch (const oakenmere::platform::DecodingError&) {}
    return 0;
}
