#pragma once

// The two layouts: the one at start, and the full one that ~ shows, with the send and
// auto-respond controls. The form as built is the full one.
enum class FormLayout { Compact, Full };

// The heights of the two layouts, in the units the form is drawn in; only the window knows how
// many of them make a pixel.
struct LayoutHeights {
    int form;         // frmMain's client area
    int receivedData; // txtNetData
};
inline constexpr LayoutHeights CompactLayout{7680, 5520};
inline constexpr LayoutHeights FullLayout{12525, 3420};
constexpr LayoutHeights layoutHeights(FormLayout layout) {
    return layout == FormLayout::Full ? FullLayout : CompactLayout;
}
