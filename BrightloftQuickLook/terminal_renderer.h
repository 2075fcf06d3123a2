#pragma once
// The page as text for a person at a shell: wrapped to the terminal's width, with colour and
// the contact sheet drawn in half-block characters only when colour is wanted.
#include <cstddef>
#include <string>

#include "BrightloftQuickLook/page_model.h"

namespace oakenmere::BrightloftQuickLook {

struct TerminalOptions {
    std::size_t columns = 80;
    bool colour = false;
};

std::string renderTerminal(const page::Page& page, const TerminalOptions& options);

}  // namespace oakenmere::BrightloftQuickLook
