// Arbitrary bytes as "Info.plist": decoding never crashes, fails only with the errors the
// record names, and a record that decodes encodes to bytes that decode to the same record.
#include <cstdint>
#include <cstdlib>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/library_info.h"
#include "platform/decoding_error.h"

using namespace oakenmere;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using LibraryBundle::LibraryInfo;
    try {
        LibraryInfo info = LibraryInfo::decodeCheckingVersion({data, size});
        if (info.formatVersion != LibraryInfo::currentFormatVersion) std::abort();
        // Dates keep whole microseconds in the binary form, so compare after one round.
        LibraryInfo once = LibraryInfo::decode(info.encode());
        if (!(LibraryInfo::decode(once.encode()) == once)) std::abort();
    } catch (const LibraryBundle::LibraryBundleError& error) {
        using Case = LibraryBundle::LibraryBundleError::Case;
        if (error.kind() != Case::invalidBundle && error.kind() != Case::unsupportedVersion) std::abort();
    }
    try {
        (void)LibraryBundle::LibraryFormatHeader::decode({data, size});
        (void)LibraryBundle::LibraryIdentity::decode({data, size});
    } catch (const oakenmere::platform::DecodingError&) {}
    return 0;
}
