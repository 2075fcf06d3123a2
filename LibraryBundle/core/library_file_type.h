#pragma once
// The file-name extensions of every document the system makes, current and earlier, and the
// name tests built on them. Stateless; safe from any thread.
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace oakenmere::LibraryBundle {

// The product name as it appears in messages.
inline constexpr std::string_view kProductName = "Oakenmere";

namespace LibraryFileType {

inline constexpr std::string_view libraryExtension = "oakenmere";
inline constexpr std::string_view legacyLibraryExtension = "brightloft";
inline constexpr std::string_view backupExtension = "oakenmerebackup";
inline constexpr std::string_view legacyBackupExtension = "brightloftbackup";
inline constexpr std::string_view presetExtension = "oakenmerepreset";
inline constexpr std::string_view legacyPresetExtension = "brightloftpreset";
inline constexpr std::string_view archiveExtension = "oakenmerepack";
inline constexpr std::string_view legacyArchiveExtension = "brightloftarchive";

const std::set<std::string, std::less<>>& libraryExtensions();
const std::set<std::string, std::less<>>& presetExtensions();
const std::set<std::string, std::less<>>& archiveExtensions();

// The last component's extension, lower-cased, without the dot; "" when there is none. A
// trailing "/" is ignored and a leading dot alone (".hidden") is not an extension.
std::string pathExtension(const std::filesystem::path& path);

bool isLibraryName(const std::filesystem::path& path);
bool isLegacyLibraryName(const std::filesystem::path& path);
bool isPresetName(const std::filesystem::path& path);
bool isArchiveName(const std::filesystem::path& path);

// What the user typed, turned into a library package name: a trailing ".oakenmere" (any case)
// becomes lower case and repeated library extensions before it are dropped. Text without it is
// returned unchanged, and so are bytes that are not UTF-8.
std::string libraryFilename(std::string_view entered);

}  // namespace LibraryFileType
}  // namespace oakenmere::LibraryBundle
