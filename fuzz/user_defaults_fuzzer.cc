// Arbitrary bytes as the earlier identity's settings and as the user's current settings: the
// migration either refuses current settings it cannot read, or carries the earlier ones over
// without losing or changing any current setting, and records that it ran.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "LibraryBundle/maintenance/identity_migration.h"
#include "fuzz/scratch_folder.h"
#include "platform/file_io.h"

using namespace oakenmere;
using LibraryBundle::IdentityMigration;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The earlier settings, then "\xFF\xFE", then the current ones (none when there is no split).
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find("\xFF\xFE");
    const std::string_view earlier = input.substr(0, split);
    const std::optional<std::string_view> current = split == std::string_view::npos ? std::nullopt : std::optional(input.substr(split + 2));

    const std::filesystem::path root = fuzzing::scratchFolder("user-defaults-fuzz") / "run";
    platform::removeTreeIgnoringErrors(root);
    const LibraryBundle::Host::MigrationContext context{root / "earlier", root / "current",       "com.brightloft.Brightloft",
                                                        "Oakenmere",      root / "defaults.json", [] { return platform::Date{0}; }};
    const std::filesystem::path settings =
        context.earlierDataFolder / IdentityMigration::legacyDefaultsPath(context.earlierBundleIdentifier);
    platform::makeFolderTree(settings.parent_path(), 0700);
    platform::writeNewFile(platform::openDirectory(settings.parent_path()), settings.filename(), platform::asBytes(earlier));
    std::optional<platform::Json> before;
    if (current) {
        platform::writeNewFile(platform::openDirectory(root), "defaults.json", platform::asBytes(*current));
        try {
            before = IdentityMigration::readDefaults(context.userDefaults);
        } catch (const IdentityMigration::Failure&) {}
    } else {
        before = platform::Json::object();
    }
    try {
        if (!IdentityMigration::run(context)) {
            if (!before || !before->contains(IdentityMigration::recordKey)) std::abort();  // only a record stops it
            return 0;
        }
    } catch (const IdentityMigration::Failure&) {
        if (before) std::abort();  // settings that read are never refused
        return 0;
    }
    if (!before) std::abort();
    const platform::Json after = IdentityMigration::readDefaults(context.userDefaults);
    if (!after.contains(IdentityMigration::recordKey)) std::abort();
    for (const auto& [key, value] : before->items())
        if (after.at(key) != value) std::abort();
    return 0;
}
