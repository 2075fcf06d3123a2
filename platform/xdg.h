#pragma once
// The per-user folders of the XDG base-directory rules.
#include <filesystem>
#include <string>

namespace oakenmere::platform {

// $HOME, else the password database's home folder, else "/".
std::filesystem::path home();
// The user's short (login) name; empty when there is none.
std::string userName();
// $XDG_CACHE_HOME, else ~/.cache.
std::filesystem::path cacheHome();
// $XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path configHome();
// $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path dataHome();
// Makes `path` and its missing parents (mode 0700 for the ones made).
void makeFolders(const std::filesystem::path& path);

}  // namespace oakenmere::platform
