#pragma once
// Where a library keeps the originals it manages: one folder per capture, named after the
// capture's identifier, under "Masters" ("Masters/1F/1F2E…/IMG_0001.JPG"; older libraries keep
// captures directly in "Masters/<UUID>"). The same layout serves sidecar files
// ("Masters/Sidecars") and archived originals ("Masters/Archive"). Pure string work but for
// removeEmptyCaptureFolder; any thread.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/uuid.h"

namespace oakenmere::LibraryBundle::MastersLayout {

inline constexpr std::string_view root = "Masters";
inline constexpr std::string_view sidecars = "Masters/Sidecars";
inline constexpr std::string_view archive = "Masters/Archive";

// "<in>/1F/1F2E…": the capture folder in the two-level layout.
std::string folder(const platform::Uuid& id, std::string_view in = root);
// "<in>/1F2E…": the capture folder of the earlier layout.
std::string legacyFolder(const platform::Uuid& id, std::string_view in = root);
// folder() followed by "/" and `filename`.
std::string relativePath(const platform::Uuid& id, std::string_view filename, std::string_view in = root);
bool isFolder(std::string_view path, const platform::Uuid& id, std::string_view in = root);
bool isPath(std::string_view path, const platform::Uuid& id, std::string_view filename, std::string_view in = root);
// The capture folder holding the relative file path `path`, in either layout and under any of
// the three roots; nothing for any other or unsafe path.
std::optional<std::string> captureFolder(std::string_view path);
// Removes the capture folder holding `path` inside `library` if it is empty (never the folder
// above it); false when it is not empty, not a capture path, reached through a link or gone.
bool removeEmptyCaptureFolder(std::string_view path, const std::filesystem::path& library) noexcept;

}  // namespace oakenmere::LibraryBundle::MastersLayout
