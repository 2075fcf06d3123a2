#pragma once
// The page as one self-contained HTML document: inline CSS, the contact sheet as a data URI,
// no scripts and nothing fetched. Element ids are the page's accessibility identifiers, and
// the body has the window's preferred width and at least its preferred height.
#include <string>

#include "BrightloftQuickLook/page_model.h"

namespace oakenmere::BrightloftQuickLook {

std::string renderHtml(const page::Page& page, const std::string& title);

}  // namespace oakenmere::BrightloftQuickLook
