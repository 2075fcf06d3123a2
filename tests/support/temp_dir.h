#pragma once
// A private folder for one test under $TMPDIR, removed with everything in it at the end, and
// the few ways tests fill it: files, folders, symbolic links and library packages.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/date.h"
#include "platform/uuid.h"

namespace oakenmere::testing {

namespace fs = std::filesystem;

// The keys a package's "Info.plist" is made with; nullopt leaves the key out.
struct PackageInfo {
    std::optional<std::int64_t> formatVersion = 1;
    std::optional<std::string> identifier = platform::Uuid::random().string();
    std::optional<std::string> name = "Holiday";
    std::optional<platform::Date> createdAt = platform::Date{700'000'000.25};
    std::optional<std::string> formatWrittenBy;  // left out unless given
    bool xml = false;                            // written binary, as the application does, unless asked

    platform::Uuid uuid() const { return *platform::Uuid::parse(identifier.value()); }
};

platform::Bytes infoPlistBytes(const PackageInfo& info);

// The names in a folder, sorted.
std::vector<std::string> namesIn(const fs::path& folder);
// What a file holds; "" when it cannot be read.
std::string contentsOf(const fs::path& path);

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const noexcept { return path_; }
    fs::path operator/(const fs::path& relative) const { return path_ / relative; }

    // Parent folders are made as needed; an existing file is replaced.
    fs::path writeFile(const fs::path& relative, platform::ByteView bytes) const;
    fs::path writeFile(const fs::path& relative, std::string_view text) const;
    std::string readFile(const fs::path& relative) const;
    fs::path makeFolder(const fs::path& relative) const;
    fs::path makeSymlink(const fs::path& target, const fs::path& relative) const;
    // A folder named `relative` (give it its ".oakenmere") holding only "Info.plist".
    fs::path makeLibrary(const fs::path& relative = "Holiday.oakenmere", const PackageInfo& info = {}) const;

private:
    fs::path path_;
};

}  // namespace oakenmere::testing
