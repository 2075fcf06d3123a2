#pragma once
// The package by which one preset travels between users and machines: a folder named
// "<name>.oakenmerepreset" holding the preset's bytes as "preset.json" and each LUT it uses under
// its LUT name (PresetLibrary::isValidLutName). No bytes are looked into.
//
// Writing builds the package in a hidden folder beside the destination, flushes it and renames it
// into place without replacing anything, so the destination holds a whole package or nothing.
// Reading opens every entry beneath the package's open folder without following links, skips
// entries that are not regular files, hidden or not LUT names, and reads no more than a limit (and
// one byte) of any file; it writes nothing. A plain file in place of the package is read as a
// preset without LUTs. Stateless; any thread.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "platform/bytes.h"

namespace oakenmere::LibraryBundle {

namespace PresetExchange {

inline constexpr std::string_view fileExtension = "oakenmerepreset", presetName = "preset.json";
inline constexpr std::int64_t presetLimit = 524'288, lutLimit = 25'165'824;

struct Contents {
    platform::Bytes preset;
    std::map<std::string, platform::Bytes> luts;  // by LUT file name
    bool operator==(const Contents&) const = default;
};

class ExchangeError : public std::exception {
public:
    enum class Case { notAPreset, tooLarge };

    explicit ExchangeError(Case c) noexcept : case_(c) {}
    static ExchangeError notAPreset() noexcept { return ExchangeError(Case::notAPreset); }
    static ExchangeError tooLarge() noexcept { return ExchangeError(Case::tooLarge); }

    Case kind() const noexcept { return case_; }
    const char* what() const noexcept override;
    friend bool operator==(const ExchangeError& a, const ExchangeError& b) noexcept { return a.case_ == b.case_; }

private:
    Case case_;
};

// Writes a new package at `destination`, whose folder must exist: FileError::fileWriteFileExists
// when something has the name, FileError::fileWriteInvalidFileName for a LUT name that breaks the
// rule; other failures are POSIX errors. A failure leaves nothing behind.
void write(const Contents& contents, const std::filesystem::path& destination);
// The package (or plain file) at `source`: FileError::fileReadNoSuchFile when nothing is there,
// ExchangeError::notAPreset for a folder without a regular "preset.json" (or anything but a file
// or folder), ExchangeError::tooLarge for a preset over presetLimit or a LUT over lutLimit bytes.
Contents read(const std::filesystem::path& source);
// `folder` / "<name>.oakenmerepreset" for a name a user typed, made safe ("/", ":", "\", NUL become
// "-"; the first 120 characters, trimmed of spaces and tabs; "Preset" for an empty or hidden
// name) and numbered "<name> 2", "<name> 3"... past the names already taken.
std::filesystem::path availableURL(std::string_view name, const std::filesystem::path& folder);

}  // namespace PresetExchange

}  // namespace oakenmere::LibraryBundle

template <>
struct std::hash<oakenmere::LibraryBundle::PresetExchange::ExchangeError> {
    std::size_t operator()(const oakenmere::LibraryBundle::PresetExchange::ExchangeError& error) const noexcept {
        return std::hash<int>{}(static_cast<int>(error.kind()));
    }
};
