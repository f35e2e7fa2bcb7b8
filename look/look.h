#pragma once
// The window's look, each piece named once: colours, the controls' places in the normal and
// the expanded layout, the bands the texts are drawn in, the bar's range and states, and the
// layout's expansion and collapse. The size and the hit-testing geometry are window_rules'.
#include <windows.h>
#include <atomic>

#include "look/window_rules.h"

namespace look {

constexpr int kWidth = window_rules::kWidth;
constexpr int kHeight = window_rules::kHeight;

constexpr COLORREF kFace = RGB(240, 240, 240);
constexpr COLORREF kOutline = RGB(128, 128, 128); // the outline, the welcome texts, footer and small links
constexpr COLORREF kTitleBand = RGB(118, 136, 154);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kStatusInk = RGB(0, 0, 0);
constexpr COLORREF kDetailInk = RGB(80, 80, 80);
constexpr COLORREF kBandLineInk = RGB(30, 30, 30);
constexpr COLORREF kTutorialInk = RGB(0, 0, 255);

// The button's command identifier: the click, the automatic start and the automatic launch.
constexpr int kInstallCommand = 104;

struct Box {
    int x, y, width, height;
};
constexpr Box kButtonBox{150, 245, 200, 30};
constexpr Box kButtonBoxExpanded{150, 260, 200, 30};
constexpr Box kBarBox{20, 185, 460, 30};
constexpr Box kBarBoxExpanded{20, 155, 460, 30};
constexpr Box kTutorialBox{160, 215, 180, 25};
constexpr Box kLicenceBox{244, 303, 139, 18};
constexpr Box kPrivacyBox{389, 303, 67, 18};
// How far the texts move up when the layout expands.
constexpr int kExpandedOffset = -40;

constexpr RECT kWholeWindow{0, 0, kWidth, kHeight};
constexpr RECT kTitleBandRect{0, 0, kWidth, 30};
// The status band, and the detail line below it, at the layout's offset: what a change of
// either text repaints.
constexpr RECT StatusBand(int offset) { return {0, offset + 98, kWidth, offset + 183}; }
constexpr RECT DetailBand(int offset) { return {0, offset + 133, kWidth, offset + 193}; }

// The bar runs 0..kBarRange; a finished attempt shows it full.
constexpr int kBarRange = 200;
enum class BarEnd { Succeeded, Failed };
void ShowBarIdle(HWND bar);
void ShowBarRunning(HWND bar);
void ShowBarFinished(HWND bar, BarEnd end);

// Where the layout stands; the painter reads both values from other threads.
struct Layout {
    std::atomic<bool> expanded{false};
    std::atomic<int> offset{0};
};
// After 5 s of download the bar and the button move down, the texts up, and the tutorial
// link shows; collapsing undoes it.
void ExpandLayout(Layout& layout, HWND window);
void CollapseLayout(Layout& layout, HWND window);

void InvalidateStatusBand(HWND window, int offset);
void InvalidateDetailBand(HWND window, int offset);
void InvalidateWholeWindow(HWND window);

} // namespace look
