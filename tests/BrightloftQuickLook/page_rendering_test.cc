#include <gtest/gtest.h>
#include <sstream>

#include "BrightloftQuickLook/html_renderer.h"
#include "BrightloftQuickLook/library_preview_view.h"
#include "BrightloftQuickLook/terminal_renderer.h"
#include "platform/base64.h"
#include "platform/text.h"
#include "preview_fixtures.h"

namespace oakenmere::BrightloftQuickLook {
namespace {

using namespace fixtures;

// Each section's accessibility identifier, and whether a page without a summary has it.
const std::pair<const char*, bool> kSections[] = {{"preview.libraryName", true},   {"preview.counts", true},
                                                  {"preview.contactSheet", false}, {"preview.facts", false},
                                                  {"preview.attention", false},    {"preview.freshness", true}};

// A page with every section: rows, attention notes and a decodable contact sheet.
LibraryPreviewContent fullContent(std::string name = "Holiday") {
    Details details = fullDetails();
    details.cameras = {{"FUJIFILM X100V with a rather long model name", 1284}, {"iPhone 15 Pro", 3}};
    details.referenced = 5, details.referencedPlaces = {{"Archive on the external drive", 3}, {"Pictures", 2}};
    return contentOf(previewOf(details, contactSheetJpeg(40, 20), 1284, 3000), std::move(name));
}

std::string html(const LibraryPreviewContent& content) { return renderHtml(LibraryPreviewView(content).body(640, 600), content.name()); }

bool hasId(const std::string& page, const std::string& identifier) { return page.find("id=\"" + identifier + "\"") != std::string::npos; }

// The full page carries every section and its picture inline, fetches nothing, and shows the
// library's name as text, never as markup.
TEST(PageRenderingTest, SectionsAppearOnlyWithTheirContent) {
    const LibraryPreviewContent content = fullContent("<b>&\"x\"");
    const std::string full = html(content);
    EXPECT_EQ(full.find("<b>"), std::string::npos);
    EXPECT_NE(full.find("&lt;b&gt;&amp;&quot;x&quot;"), std::string::npos);
    for (const auto& [identifier, bare] : kSections) EXPECT_TRUE(hasId(full, identifier)) << identifier;
    EXPECT_NE(full.find("width:640px;min-height:600px;height:600px;padding:24px"), std::string::npos);
    ASSERT_TRUE(content.contactSheet());
    EXPECT_NE(full.find("data:image/jpeg;base64," + oakenmere::platform::base64Encode(content.contactSheet()->jpeg)), std::string::npos);
    for (const char* fetching : {"http:", "https:", "<script"}) EXPECT_EQ(full.find(fetching), std::string::npos);

    for (const auto& preview : {std::optional<LibraryPreview>(), std::optional(previewOf(std::nullopt, contactSheetJpeg()))}) {
        const std::string page = html(contentOf(preview));
        for (const auto& [identifier, bare] : kSections) EXPECT_EQ(hasId(page, identifier), bare) << identifier;
    }
}

// A title of wide characters wraps, and its two-line limit shortens it by whole characters:
// cutting bytes would split one before the ellipsis. At 20 columns, the narrowest the renderer
// accepts, a label and value side by side would take 21; the facts go one under the other.
TEST(PageRenderingTest, TerminalTextFitsTheColumns) {
    const LibraryPreviewContent content = fullContent(
        "\u65E5\u672C\u306E\u590F\u306E\u5199\u771F\u3068\u52D5\u753B\u306E\u30E9\u30A4\u30D6\u30E9\u30EA"
        "\u5BB6\u65CF\u65C5\u884C\u3068\u53CB\u4EBA\u305F\u3061\u3068\u306E\u601D\u3044\u51FA\u304C"
        "\u305F\u304F\u3055\u3093\u8A70\u307E\u3063\u3066\u3044\u307E\u3059");
    for (std::size_t columns : {20u, 23u, 40u, 41u, 80u}) {
        const std::string text = renderTerminal(LibraryPreviewView(content).body(640, 600), {columns, false});
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << columns;
        EXPECT_NE(text.find("1,284 items"), std::string::npos) << columns;
        EXPECT_TRUE(oakenmere::platform::isValidUtf8(text)) << columns << ":\n" << text.substr(0, text.find("1,284"));
        EXPECT_TRUE(columns == 80 || text.find("\u2026") != std::string::npos) << columns;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(oakenmere::platform::displayWidth(line), columns) << line;
    }
    // In colour, the contact sheet is drawn in half blocks.
    EXPECT_NE(renderTerminal(LibraryPreviewView(content).body(640, 600), {80, true}).find("\u2580"), std::string::npos);
}

}  // namespace
}  // namespace oakenmere::BrightloftQuickLook
