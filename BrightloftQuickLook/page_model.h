#pragma once
// A small, toolkit-free description of a page: stacks, texts, symbols, an image, a grid of
// label/value rows and labels, with the spacing, fonts and accessibility identifiers the page
// asks for. Renderers (HTML, terminal text) turn it into something a person can see.
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "BrightloftQuickLook/library_preview_content.h"

namespace oakenmere::BrightloftQuickLook::page {

// The platform's text styles; renderers map them to sizes (title 22, title-3 15, callout 12,
// footnote 10 points) and the symbol size to 28 points.
enum class Font { title, title3, callout, footnote, symbol28 };
enum class Weight { regular, semibold };
enum class Tone { primary, secondary, orange };
enum class Alignment { leading, trailing, firstTextBaseline };

struct Text {
    std::string text;
    Font font = Font::callout;
    Weight weight = Weight::regular;
    Tone tone = Tone::primary;
    int lineLimit = 0;             // 0: as many lines as needed
    bool selectable = false;       // the user can select and copy it
    bool growsVertically = false;  // never truncated vertically
    std::string accessibilityIdentifier;
};

// A named system symbol ("photo.stack", "exclamationmark.triangle").
struct Symbol {
    std::string name;
    Font font = Font::callout;
    Tone tone = Tone::primary;
    bool accessibilityHidden = false;
};

struct Image {
    const ContactSheetImage* image = nullptr;  // owned by the content the page shows
    double cornerRadius = 0;                   // continuous (squircle) corners
    std::string accessibilityLabel;
    std::string accessibilityIdentifier;
};

// A symbol followed by its text, in one tone.
struct Label {
    Symbol symbol;
    Text text;
};

// Label/value rows: labels in a column aligned to the trailing edge, values beside them. Each row
// is one accessibility element combining its two texts.
struct Grid {
    struct Row {
        Text label;
        Text value;
    };
    double columnSpacing = 0;
    double rowSpacing = 0;
    std::vector<Row> rows;
    std::string accessibilityIdentifier;
};

struct Stack;
using Node = std::variant<Text, Symbol, Image, Label, Grid, Stack>;

struct Stack {
    enum class Axis { vertical, horizontal };
    Axis axis = Axis::vertical;
    Alignment alignment = Alignment::leading;
    double spacing = 0;
    std::vector<Node> children;
    std::string accessibilityIdentifier;
};

// The whole page: one stack, padded on every side, filling the window from its top-leading corner.
struct Page {
    Stack root;
    double padding = 0;
    double width = 0;  // the window's preferred size, in points
    double height = 0;
};

}  // namespace oakenmere::BrightloftQuickLook::page
