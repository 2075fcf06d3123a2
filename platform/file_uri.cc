#include "platform/file_uri.h"

#include <cstdio>

namespace oakenmere::platform {

std::string fileUri(const std::filesystem::path& path) {
    std::string out = "file://";
    for (unsigned char c : std::filesystem::absolute(path).string()) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                     c == '~' || c == '/';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

}  // namespace oakenmere::platform
