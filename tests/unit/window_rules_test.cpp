#include "look/window_rules.h"

#include <gtest/gtest.h>

namespace {

using window_rules::CentredOrigin;
using window_rules::Glyph;
using window_rules::GlyphAt;
using window_rules::InGlyphCorner;
using window_rules::MidLine;

TEST(WindowPlacement, CentresOnTheWorkAreaSizeOnly) {
    // (0,0)-(1920,1040) and (0,40)-(1920,1080) both give a 1920 by 1040 area.
    window_rules::Point p = CentredOrigin(1920, 1040);
    EXPECT_EQ(p.x, 710);
    EXPECT_EQ(p.y, 355);
    // A width of 1365 gives 432.5, truncated.
    EXPECT_EQ(CentredOrigin(1365, 768).x, 432);
    EXPECT_EQ(CentredOrigin(1365, 768).y, 219);
    EXPECT_EQ(CentredOrigin(1366, 769).y, 219);
    // A work area exactly the window's size puts it at the origin.
    EXPECT_EQ(CentredOrigin(500, 330).x, 0);
    EXPECT_EQ(CentredOrigin(500, 330).y, 0);
}

TEST(WindowPlacement, SmallWorkAreaTruncatesTowardZero) {
    // 401 * 0.5 - 250 = -49.5, truncated toward zero to -49 (not -50).
    EXPECT_EQ(CentredOrigin(401, 331).x, -49);
    EXPECT_EQ(CentredOrigin(401, 331).y, 0); // 0.5
    EXPECT_EQ(CentredOrigin(400, 329).y, 0); // -0.5, not -1
    EXPECT_EQ(CentredOrigin(400, 300).x, -50);
    EXPECT_EQ(CentredOrigin(400, 300).y, -15);
    EXPECT_EQ(CentredOrigin(0, 0).x, -250);
    EXPECT_EQ(CentredOrigin(0, 0).y, -165);
}

// What a press of the left button at a client point does, from the hit test and the
// button-down handling together.
enum class Press { Drag, Close, Minimise, Nothing };
Press PressAt(int x, int y) {
    if (!InGlyphCorner(x, y)) return Press::Drag; // a client hit answered as a caption hit
    switch (GlyphAt(x, y)) {
    case Glyph::Close: return Press::Close;
    case Glyph::Minimise: return Press::Minimise;
    default: return Press::Nothing;
    }
}

TEST(WindowMouse, ClicksOnThePaintedGlyphs) {
    EXPECT_EQ(PressAt(485, 15), Press::Close);
    EXPECT_EQ(PressAt(455, 15), Press::Minimise);
    EXPECT_EQ(PressAt(450, 15), Press::Drag);
    EXPECT_EQ(PressAt(485, 23), Press::Drag);
    EXPECT_EQ(PressAt(470, 15), Press::Nothing);
    EXPECT_EQ(PressAt(250, 160), Press::Drag);
}

TEST(WindowMouse, GlyphBoundaries) {
    // Close answers to x 478..492 and y 8..22.
    EXPECT_EQ(PressAt(478, 8), Press::Close);
    EXPECT_EQ(PressAt(492, 22), Press::Close);
    EXPECT_EQ(PressAt(477, 15), Press::Nothing);
    EXPECT_EQ(PressAt(493, 15), Press::Nothing);
    EXPECT_EQ(PressAt(485, 7), Press::Nothing);
    // Minimise answers to x 452..462 and y 8..22; x 448..451 lies outside the glyph corner.
    EXPECT_EQ(PressAt(452, 8), Press::Minimise);
    EXPECT_EQ(PressAt(462, 22), Press::Minimise);
    EXPECT_EQ(PressAt(463, 15), Press::Nothing);
    EXPECT_EQ(PressAt(451, 15), Press::Drag);
    EXPECT_EQ(PressAt(448, 15), Press::Drag);
    EXPECT_EQ(PressAt(455, 23), Press::Drag);
    EXPECT_EQ(PressAt(455, 24), Press::Drag);
    // Above the glyphs, still in the corner: nothing (and no drag).
    EXPECT_EQ(PressAt(485, 0), Press::Nothing);
    EXPECT_EQ(PressAt(499, 22), Press::Nothing);
}

TEST(WindowMouse, ButtonDownTestsTheirOwnRanges) {
    // The button-down handler alone knows y 8..24 and x 448..462 for minimising; the hit
    // test keeps the parts outside the corner from reaching it.
    EXPECT_EQ(GlyphAt(448, 24), Glyph::Minimise);
    EXPECT_EQ(GlyphAt(492, 24), Glyph::Close);
    EXPECT_EQ(GlyphAt(485, 25), Glyph::None);
    EXPECT_EQ(GlyphAt(447, 15), Glyph::None);
    EXPECT_EQ(GlyphAt(-485, 15), Glyph::None);
    EXPECT_FALSE(InGlyphCorner(452, 23));
    EXPECT_TRUE(InGlyphCorner(452, 22));
}

TEST(WindowPainting, MidLinesOfTheStatusBand) {
    // statusText, detailText and the expanded line for layout offsets 0 and -40.
    EXPECT_EQ(MidLine(133, 0 + 163), 148);
    EXPECT_EQ(MidLine(133, -40 + 163), 128);
    EXPECT_EQ(MidLine(133, 0 + 193), 163);
    EXPECT_EQ(MidLine(133, -40 + 193), 143);
    EXPECT_EQ(MidLine(133, 286), 209);
    // Welcome texts: a rectangle whose bottom lies above its top still centres the same way.
    EXPECT_EQ(MidLine(133, 128), 131);
    EXPECT_EQ(MidLine(133, 163), 148);
    // Title band caption, footer and link labels.
    EXPECT_EQ(MidLine(0, 30), 15);
    EXPECT_EQ(MidLine(303, 323), 313);
    EXPECT_EQ(MidLine(0, 20), 10);
    // Odd heights truncate toward zero in both directions.
    EXPECT_EQ(MidLine(10, 13), 11);
    EXPECT_EQ(MidLine(10, 7), 9);
}

} // namespace
