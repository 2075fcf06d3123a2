#include "support/hand_made_plist.h"

namespace oakenmere::testing {

platform::Bytes binaryPlist(const std::vector<platform::Bytes>& objects) {
    platform::Bytes out = platform::toBytes("bplist00");
    std::vector<std::size_t> offsets;
    for (const auto& object : objects) offsets.push_back(out.size()), out.insert(out.end(), object.begin(), object.end());
    const std::size_t table = out.size();
    for (std::size_t offset : offsets) out.push_back(offset >> 8), out.push_back(offset & 0xFF);
    platform::Bytes trailer(32, 0);
    trailer[6] = 2, trailer[7] = 1, trailer[15] = static_cast<std::uint8_t>(objects.size());
    trailer[30] = table >> 8, trailer[31] = table & 0xFF;
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

}  // namespace oakenmere::testing
