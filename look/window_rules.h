#pragma once
// Geometry of the main window: its size, centring, hit testing, glyph clicks and text mid-lines.

namespace window_rules {

constexpr int kWidth = 500;
constexpr int kHeight = 330;

struct Point {
    int x;
    int y;
};

// Position of the window for a work area of the given width and height. Only the size of
// the work area counts, not its origin; halves are truncated toward zero.
Point CentredOrigin(int workWidth, int workHeight);

// The glyph corner (y <= 22, x >= 452) keeps the default hit-test answer so that clicks
// reach the window; everywhere else a client hit becomes a caption hit (drag).
bool InGlyphCorner(int x, int y);

enum class Glyph { None, Close, Minimise };
Glyph GlyphAt(int x, int y);

// Vertical centre of a text rectangle; bottom may lie above top.
int MidLine(int top, int bottom);

} // namespace window_rules
