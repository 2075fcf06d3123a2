#pragma once
// One private folder per fuzzing process for harnesses that read from disk, removed when the run
// ends normally.
#include <filesystem>
#include <string_view>

#include "platform/file_io.h"

namespace oakenmere::fuzzing {

inline const std::filesystem::path& scratchFolder(std::string_view prefix) {
    struct Scratch {
        std::filesystem::path path;
        ~Scratch() { platform::removeTreeIgnoringErrors(path); }
    };
    static const Scratch scratch{platform::makeTemporaryFolder(prefix)};
    return scratch.path;
}

}  // namespace oakenmere::fuzzing
