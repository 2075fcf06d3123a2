#pragma once
// Facts about the terminal the program writes to.
#include <cstddef>

namespace oakenmere::platform {

bool isTerminal(int fd) noexcept;
// The terminal's width in columns; 0 when `fd` is not a terminal or does not say.
std::size_t terminalColumns(int fd) noexcept;
// Colour only for a person at a terminal who has not asked for none (NO_COLOR).
bool wantsColour(int fd) noexcept;

}  // namespace oakenmere::platform
