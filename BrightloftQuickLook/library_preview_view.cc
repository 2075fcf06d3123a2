#include "BrightloftQuickLook/library_preview_view.h"

#include "BrightloftQuickLook/localization.h"

namespace oakenmere::BrightloftQuickLook {

using namespace page;

namespace {

Stack header(const LibraryPreviewContent& c) {
    Stack titles{Stack::Axis::vertical, Alignment::leading, 2, {}, {}};
    titles.children.push_back(Text{.text = c.name(),
                                   .font = Font::title,
                                   .weight = Weight::semibold,
                                   .lineLimit = 2,
                                   .accessibilityIdentifier = "preview.libraryName"});
    titles.children.push_back(
        Text{.text = c.counts(), .font = Font::title3, .tone = Tone::secondary, .accessibilityIdentifier = "preview.counts"});
    Stack row{Stack::Axis::horizontal, Alignment::firstTextBaseline, 12, {}, {}};
    row.children.push_back(Symbol{"photo.stack", Font::symbol28, Tone::secondary, true});
    row.children.push_back(std::move(titles));
    return row;
}

Grid facts(const LibraryPreviewContent& c) {
    Grid grid{14, 7, {}, "preview.facts"};
    for (const auto& row : c.rows())
        grid.rows.push_back({Text{.text = row.label, .tone = Tone::secondary}, Text{.text = row.value, .selectable = true}});
    return grid;
}

Stack attention(const LibraryPreviewContent& c) {
    Stack column{Stack::Axis::vertical, Alignment::leading, 4, {}, "preview.attention"};
    for (const auto& sentence : c.attention())
        column.children.push_back(
            Label{Symbol{"exclamationmark.triangle", Font::callout, Tone::orange, false}, Text{.text = sentence, .tone = Tone::orange}});
    return column;
}

Stack footer(const LibraryPreviewContent& c) {
    Stack column{Stack::Axis::vertical, Alignment::leading, 6, {}, {}};
    column.children.push_back(Text{.text = c.about(), .font = Font::footnote, .tone = Tone::secondary, .growsVertically = true});
    column.children.push_back(Text{.text = c.freshness(),
                                   .font = Font::footnote,
                                   .tone = Tone::secondary,
                                   .growsVertically = true,
                                   .accessibilityIdentifier = "preview.freshness"});
    return column;
}

}  // namespace

Page LibraryPreviewView::body(double width, double height) const {
    Page result{Stack{Stack::Axis::vertical, Alignment::leading, sectionSpacing, {}, {}}, padding, width, height};
    auto& sections = result.root.children;
    sections.push_back(header(content_));
    if (content_.contactSheet())
        sections.push_back(
            Image{&*content_.contactSheet(), 8, localized("A few of the library's newest pictures"), "preview.contactSheet"});
    if (!content_.rows().empty()) sections.push_back(facts(content_));
    if (!content_.attention().empty()) sections.push_back(attention(content_));
    sections.push_back(footer(content_));
    return result;
}

}  // namespace oakenmere::BrightloftQuickLook
