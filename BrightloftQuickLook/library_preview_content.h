#pragma once
// The words and the picture of a library's preview page, made from what the summary store
// read. Building is pure: it reads the preview and the locale formatter and nothing else.
#include <optional>
#include <string>
#include <vector>

#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "platform/jpeg.h"
#include "platform/locale_format.h"

namespace oakenmere::BrightloftQuickLook {

// A contact sheet that decoded: its JPEG bytes and its pixels.
struct ContactSheetImage {
    platform::Bytes jpeg;
    platform::RgbImage pixels;
};

class LibraryPreviewContent {
public:
    struct Row {
        std::string label;
        std::string value;
        bool operator==(const Row&) const = default;
    };

    // Without a preview (the placeholder before the store answers) the page says what kind of
    // document this is. `name` is used as given.
    LibraryPreviewContent(const std::optional<LibraryBundle::LibraryPreview>& preview, std::string name,
                          const platform::LocaleFormat& format = platform::LocaleFormat());

    const std::string& name() const noexcept { return name_; }
    const std::string& counts() const noexcept { return counts_; }
    const std::vector<Row>& rows() const noexcept { return rows_; }
    const std::vector<std::string>& attention() const noexcept { return attention_; }
    const std::string& about() const noexcept { return about_; }
    const std::string& freshness() const noexcept { return freshness_; }
    // Present only when the preview carried bytes the JPEG decoder accepts.
    const std::optional<ContactSheetImage>& contactSheet() const noexcept { return contactSheet_; }

private:
    std::string name_;
    std::string counts_;
    std::vector<Row> rows_;
    std::vector<std::string> attention_;
    std::string about_;
    std::string freshness_;
    std::optional<ContactSheetImage> contactSheet_;
};

}  // namespace oakenmere::BrightloftQuickLook
