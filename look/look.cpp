#include "look/look.h"

#include "base/setup_state.h"

#include <commctrl.h>

namespace look {
namespace {
void SetMarqueeStyle(HWND bar, bool on) {
    LONG style = GetWindowLongW(bar, GWL_STYLE);
    SetWindowLongW(bar, GWL_STYLE, on ? style | PBS_MARQUEE : style & ~PBS_MARQUEE);
}

void MoveTo(HWND control, const Box& box) { MoveWindow(control, box.x, box.y, box.width, box.height, TRUE); }
} // namespace

void ShowBarIdle(HWND bar) {
    SendMessageW(bar, PBM_SETMARQUEE, 0, 0);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, kBarRange));
    SendMessageW(bar, PBM_SETPOS, 0, 0);
}

void ShowBarRunning(HWND bar) {
    SetMarqueeStyle(bar, true);
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
    SendMessageW(bar, PBM_SETSTATE, PBST_NORMAL, 0);
}

void ShowBarFinished(HWND bar, BarEnd end) {
    SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
    SetMarqueeStyle(bar, false);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, kBarRange));
    SendMessageW(bar, PBM_SETPOS, kBarRange, 0);
    if (end == BarEnd::Failed) SendMessageW(bar, PBM_SETSTATE, PBST_ERROR, 0);
}

void InvalidateStatusBand(HWND window, int offset) {
    RECT band = StatusBand(offset);
    InvalidateRect(window, &band, TRUE);
}

void InvalidateDetailBand(HWND window, int offset) {
    RECT detail = DetailBand(offset);
    InvalidateRect(window, &detail, TRUE);
}

void InvalidateWholeWindow(HWND window) {
    RECT all = kWholeWindow;
    InvalidateRect(window, &all, TRUE);
}

void ExpandLayout(Layout& layout, HWND window) {
    if (!layout.expanded.load()) {
        // The flag changes with the offset, before any move or invalidation asks for a paint:
        // a paint between them would draw the moved band without its line, and the band's own
        // later repaints never reach that line again.
        layout.offset = kExpandedOffset;
        layout.expanded = true;
        MoveTo(g_setup.progressBar, kBarBoxExpanded);
        MoveTo(g_setup.installButton, kButtonBoxExpanded);
        ShowWindow(g_setup.tutorialLink, SW_SHOWNORMAL);
        InvalidateWholeWindow(window);
        RECT linkArea = kWholeWindow;
        InvalidateRect(g_setup.tutorialLink, &linkArea, TRUE);
    }
    layout.expanded = true;
}

void CollapseLayout(Layout& layout, HWND window) {
    if (layout.expanded.load()) {
        layout.offset = 0;
        layout.expanded = false;
        MoveTo(g_setup.progressBar, kBarBox);
        MoveTo(g_setup.installButton, kButtonBox);
        ShowWindow(g_setup.tutorialLink, SW_HIDE);
        InvalidateWholeWindow(window);
    }
    layout.expanded = false;
}

} // namespace look
