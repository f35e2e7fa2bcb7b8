#include "look/window_rules.h"

namespace window_rules {

Point CentredOrigin(int workWidth, int workHeight) {
    double left = static_cast<double>(workWidth) * 0.5 - kWidth * 0.5;
    double top = static_cast<double>(workHeight) * 0.5 - kHeight * 0.5;
    return {static_cast<int>(left), static_cast<int>(top)};
}

bool InGlyphCorner(int x, int y) { return !(y > 22 || x < 452); }

Glyph GlyphAt(int x, int y) {
    if (y < 8 || y > 24) return Glyph::None;
    if (x >= 478 && x <= 492) return Glyph::Close;
    if (x >= 448 && x <= 462) return Glyph::Minimise;
    return Glyph::None;
}

int MidLine(int top, int bottom) { return top + (bottom - top) / 2; }

} // namespace window_rules
