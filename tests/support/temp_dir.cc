#include "support/temp_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/property_list.h"

namespace oakenmere::testing {

platform::Bytes infoPlistBytes(const PackageInfo& info) {
    platform::PropertyListDictionary plist;
    if (info.formatVersion) plist.setInteger("formatVersion", *info.formatVersion);
    if (info.identifier) plist.setString("identifier", *info.identifier);
    if (info.name) plist.setString("name", *info.name);
    if (info.createdAt) plist.setDate("createdAt", *info.createdAt);
    if (info.formatWrittenBy) plist.setString("formatWrittenBy", *info.formatWrittenBy);
    return info.xml ? platform::toBytes(plist.xml()) : plist.binary();
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/oakenmere-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

fs::path TempDir::writeFile(const fs::path& relative, platform::ByteView bytes) const {
    fs::path target = path_ / relative;
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("could not write " + target.string());
    return target;
}

fs::path TempDir::writeFile(const fs::path& relative, std::string_view text) const { return writeFile(relative, platform::asBytes(text)); }

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string TempDir::readFile(const fs::path& relative) const { return contentsOf(path_ / relative); }

fs::path TempDir::makeFolder(const fs::path& relative) const {
    fs::path target = path_ / relative;
    fs::create_directories(target);
    return target;
}

fs::path TempDir::makeSymlink(const fs::path& target, const fs::path& relative) const {
    fs::path link = path_ / relative;
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
    return link;
}

fs::path TempDir::makeLibrary(const fs::path& relative, const PackageInfo& info) const {
    fs::path package = makeFolder(relative);
    writeFile(relative / "Info.plist", infoPlistBytes(info));
    return package;
}

}  // namespace oakenmere::testing
