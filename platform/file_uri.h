#pragma once
#include <filesystem>
#include <string>

namespace oakenmere::platform {

// "file://" and the absolute path, with every byte outside the unreserved set and "/"
// percent-encoded.
std::string fileUri(const std::filesystem::path& path);

}  // namespace oakenmere::platform
