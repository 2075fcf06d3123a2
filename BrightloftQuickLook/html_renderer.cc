#include "BrightloftQuickLook/html_renderer.h"

#include <cstdio>

#include "platform/base64.h"
#include "platform/printable.h"

namespace oakenmere::BrightloftQuickLook {

using namespace page;

namespace {

// Controls, which HTML cannot carry, and bidirectional overrides, which would reorder what the
// page shows, are written as visible escapes first, as the terminal shows them.
std::string escaped(std::string_view raw) {
    const std::string text = platform::printable(raw);
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string px(double points) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%gpx", points);
    return buffer;
}

std::string idAttribute(const std::string& identifier) {
    return identifier.empty() ? std::string() : " id=\"" + escaped(identifier) + "\"";
}

const char* fontClass(Font font) {
    switch (font) {
    case Font::title: return "font-title";
    case Font::title3: return "font-title3";
    case Font::callout: return "font-callout";
    case Font::footnote: return "font-footnote";
    case Font::symbol28: return "font-symbol28";
    }
    return "";
}

const char* toneClass(Tone tone) {
    switch (tone) {
    case Tone::primary: return "tone-primary";
    case Tone::secondary: return "tone-secondary";
    case Tone::orange: return "tone-orange";
    }
    return "";
}

// Outline drawings of the two system symbols the page uses, at 1em.
std::string symbolSvg(const std::string& name) {
    if (name == "photo.stack")
        return R"(<svg viewBox="0 0 28 28" width="1em" height="1em" fill="none" stroke="currentColor" stroke-width="1.6" stroke-linejoin="round">)"
               R"(<path d="M7 5.5h14"/><path d="M5 8.5h18"/><rect x="3" y="11" width="22" height="14" rx="2.5"/>)"
               R"(<circle cx="9" cy="15.5" r="1.8"/><path d="M3.5 23l6.5-5.5 4 3.5 4.5-4.5 6.5 6"/></svg>)";
    if (name == "exclamationmark.triangle")
        return R"(<svg viewBox="0 0 20 20" width="1em" height="1em" fill="none" stroke="currentColor" stroke-width="1.7" stroke-linejoin="round" stroke-linecap="round">)"
               R"(<path d="M10 2.5L18.5 17.5H1.5Z"/><path d="M10 8v4.5"/><circle cx="10" cy="15" r=".4" fill="currentColor"/></svg>)";
    return {};
}

class Writer {
public:
    std::string html;

    void node(const Node& n) {
        std::visit([this](const auto& value) { write(value); }, n);
    }

private:
    void write(const Text& t) {
        std::string classes = std::string("text ") + fontClass(t.font) + " " + toneClass(t.tone);
        if (t.weight == Weight::semibold) classes += " semibold";
        if (t.selectable) classes += " selectable";
        if (t.growsVertically) classes += " grows";
        std::string style = t.lineLimit > 0 ? " style=\"-webkit-line-clamp:" + std::to_string(t.lineLimit) + "\"" : "";
        if (t.lineLimit > 0) classes += " clamped";
        html += "<div class=\"" + classes + "\"" + idAttribute(t.accessibilityIdentifier) + style + ">" + escaped(t.text) + "</div>";
    }

    void write(const Symbol& s) {
        html += std::string("<span class=\"symbol ") + fontClass(s.font) + " " + toneClass(s.tone) + "\"" +
                (s.accessibilityHidden ? " aria-hidden=\"true\"" : "") + ">" + symbolSvg(s.name) + "</span>";
    }

    void write(const Image& i) {
        html += "<div class=\"image-box\"><img" + idAttribute(i.accessibilityIdentifier) + " alt=\"" + escaped(i.accessibilityLabel) +
                "\" width=\"" + std::to_string(i.image->pixels.width) + "\" height=\"" + std::to_string(i.image->pixels.height) +
                "\" style=\"border-radius:" + px(i.cornerRadius) + "\" src=\"data:image/jpeg;base64," +
                platform::base64Encode(i.image->jpeg) + "\"></div>";
    }

    void write(const Label& l) {
        html += std::string("<div class=\"label ") + fontClass(l.text.font) + " " + toneClass(l.text.tone) + "\">";
        write(l.symbol);
        html += "<span>" + escaped(l.text.text) + "</span></div>";
    }

    void write(const Grid& g) {
        html += "<div class=\"grid font-callout\"" + idAttribute(g.accessibilityIdentifier) + " style=\"column-gap:" + px(g.columnSpacing) +
                ";row-gap:" + px(g.rowSpacing) + "\">";
        for (const auto& row : g.rows) {
            // One accessibility element per row, read as "label, value".
            html += "<div class=\"grid-row\" role=\"group\" aria-label=\"" + escaped(row.label.text + ", " + row.value.text) + "\">";
            write(row.label);
            write(row.value);
            html += "</div>";
        }
        html += "</div>";
    }

    void write(const Stack& s) {
        std::string classes = s.axis == Stack::Axis::vertical ? "stack vertical" : "stack horizontal";
        if (s.alignment == Alignment::firstTextBaseline) classes += " baseline";
        html += "<div class=\"" + classes + "\"" + idAttribute(s.accessibilityIdentifier) + " style=\"gap:" + px(s.spacing) + "\">";
        for (const auto& child : s.children) node(child);
        html += "</div>";
    }
};

constexpr const char* kStyle = R"(
:root { color-scheme: light dark; --primary: rgba(0,0,0,.88); --secondary: rgba(0,0,0,.52); --orange: #c86400;
        --background: #ffffff; }
@media (prefers-color-scheme: dark) {
  :root { --primary: rgba(255,255,255,.9); --secondary: rgba(255,255,255,.56); --orange: #ff9f0a; --background: #1e1e1e; }
}
* { box-sizing: border-box; }
html, body { margin: 0; background: var(--background); }
body { font-family: system-ui, -apple-system, "Cantarell", "Noto Sans", "DejaVu Sans", sans-serif;
       -webkit-font-smoothing: antialiased; user-select: none; overflow-x: hidden; }
.page { display: flex; flex-direction: column; overflow: hidden; }
.page > .stack { flex: 1 1 auto; min-height: 0; }
.stack { display: flex; min-width: 0; }
.stack.vertical { flex-direction: column; align-items: flex-start; }
.stack.horizontal { flex-direction: row; align-items: flex-start; }
.stack.baseline { align-items: first baseline; }
.stack > * { min-width: 0; max-width: 100%; }
.text { overflow-wrap: anywhere; white-space: pre-wrap; }
.text.clamped { display: -webkit-box; -webkit-box-orient: vertical; overflow: hidden; }
.text.grows { flex-shrink: 0; }
.selectable { user-select: text; cursor: text; }
.semibold { font-weight: 600; }
.font-title { font-size: 22px; line-height: 1.2; }
.font-title3 { font-size: 15px; line-height: 1.3; }
.font-callout { font-size: 12px; line-height: 1.35; }
.font-footnote { font-size: 10px; line-height: 1.4; }
.font-symbol28 { font-size: 28px; line-height: 1; }
.tone-primary { color: var(--primary); }
.tone-secondary { color: var(--secondary); }
.tone-orange { color: var(--orange); }
.symbol { display: inline-flex; flex-shrink: 0; }
.symbol svg { display: block; }
.image-box { flex: 1 1 0; min-height: 96px; display: flex; align-self: stretch; }
.image-box img { display: block; width: auto; height: auto; max-width: 100%; max-height: 100%; object-fit: contain;
                 align-self: flex-start; }
.grid { display: grid; grid-template-columns: max-content minmax(0, 1fr); align-items: baseline; flex-shrink: 0; }
.grid-row { display: contents; }
.grid-row > .text:first-child { justify-self: end; text-align: right; }
.label { display: flex; align-items: first baseline; gap: 5px; }
.label .symbol { align-self: center; }
)";

}  // namespace

std::string renderHtml(const Page& page, const std::string& title) {
    Writer writer;
    writer.node(page.root);
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=" +
           std::to_string(static_cast<int>(page.width)) +
           "\">"
           "<title>" +
           escaped(title) + "</title><style>" + kStyle + "</style></head>\n<body><main class=\"page\" style=\"width:" + px(page.width) +
           ";min-height:" + px(page.height) + ";height:" + px(page.height) + ";padding:" + px(page.padding) + "\">" + writer.html +
           "</main></body></html>\n";
}

}  // namespace oakenmere::BrightloftQuickLook
