#pragma once
// The preview page for one content record, laid out top to bottom: header, contact sheet,
// facts, attention notes and footer.
#include "BrightloftQuickLook/library_preview_content.h"
#include "BrightloftQuickLook/page_model.h"

namespace oakenmere::BrightloftQuickLook {

class LibraryPreviewView {
public:
    static constexpr double padding = 24;
    static constexpr double sectionSpacing = 16;

    explicit LibraryPreviewView(LibraryPreviewContent content) : content_(std::move(content)) {}

    const LibraryPreviewContent& content() const noexcept { return content_; }
    // The page at the window size the host gives it. The page refers to this view's content.
    page::Page body(double width, double height) const;

private:
    LibraryPreviewContent content_;
};

}  // namespace oakenmere::BrightloftQuickLook
