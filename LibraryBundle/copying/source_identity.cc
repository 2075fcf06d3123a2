#include "LibraryBundle/copying/source_identity.h"

#include <cerrno>
#include <fcntl.h>

#include "LibraryBundle/core/errors.h"
#include "platform/file_io.h"
#include "platform/posix_error.h"
#include "platform/quoted.h"

namespace oakenmere::LibraryBundle {

SourceIdentity SourceIdentity::capture(const std::filesystem::path& path) {
    // Without its trailing "/", lstat looks at a link itself rather than at what it points to.
    const std::filesystem::path entry = platform::entryPath(path);
    auto status = platform::lstatPath(entry);
    if (!status) platform::throwPosixError(ENOENT, "lstat " + platform::inQuotes(entry.string()));
    if (!status->isRegular()) throw VerifiedCopyError::unsafePath(entry.string());
    return of(*status);
}

SourceIdentity SourceIdentity::of(const platform::FileStatus& status) {
    return {static_cast<std::int32_t>(status.device),
            status.inode,
            status.size,
            status.modifiedSeconds,
            status.modifiedNanoseconds,
            status.changedSeconds,
            status.changedNanoseconds};
}

std::vector<platform::JsonField> SourceIdentity::withJsonFields(std::initializer_list<platform::JsonField> others) {
    std::vector<platform::JsonField> fields(others);
    fields.insert(fields.end(), {{"size", &size},
                                 {"device", &device},
                                 {"inode", &inode},
                                 {"modifiedSeconds", &modifiedSeconds},
                                 {"modifiedNanoseconds", &modifiedNanoseconds},
                                 {"changedSeconds", &changedSeconds},
                                 {"changedNanoseconds", &changedNanoseconds}});
    return fields;
}

bool isUnchanged(const std::filesystem::path& path, const SourceIdentity& initial, const SourceIdentity* inspected) {
    try {
        if (SourceIdentity::capture(path) != initial) return false;
        return inspected == nullptr || SourceIdentity::capture(path) == *inspected;
    } catch (...) {
        return false;  // a file whose identity cannot be taken is not known to be the same
    }
}

platform::UniqueFd openCaptured(const std::filesystem::path& path, const SourceIdentity& identity) {
    auto [file, status] = platform::openRegularFile(path, O_RDONLY);
    if (static_cast<std::int32_t>(status.device) != identity.device || status.inode != identity.inode)
        throw VerifiedCopyError::sourceChanged();
    platform::clearNonBlocking(file);
    return std::move(file);
}

}  // namespace oakenmere::LibraryBundle

std::size_t std::hash<oakenmere::LibraryBundle::SourceIdentity>::operator()(
    const oakenmere::LibraryBundle::SourceIdentity& id) const noexcept {
    std::size_t seed = 0;
    auto combine = [&seed](auto value) { seed ^= std::hash<decltype(value)>{}(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); };
    combine(id.device);
    combine(id.inode);
    combine(id.size);
    combine(id.modifiedSeconds);
    combine(id.modifiedNanoseconds);
    combine(id.changedSeconds);
    combine(id.changedNanoseconds);
    return seed;
}
