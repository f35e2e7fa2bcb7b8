#include "app/link_labels.h"

#include "base/format_bounded.h"
#include "base/raii.h"
#include "launch/launch_unelevated.h"
#include "look/look.h"
#include "look/texts.h"
#include "net/reports.h"
#include "net/vendor_connection.h"

namespace {
struct LinkRow {
    const wchar_t* label;
    COLORREF colour;
    int fontHeight;
    int fontWeight;
    RECT textRect;
    const wchar_t* pagePath;
    bool reportsUse;
};

// One table row per label: the three procedures differ in nothing else.
// clang-format off
constexpr LinkRow kRows[] = {
    {text::kTutorialLink, look::kTutorialInk, 20, FW_NORMAL, {0, 0, 200, 30}, L"/tutorial?source=webinstaller", true},
    {text::kPrivacyLink, look::kOutline, 13, 0, {0, 0, 200, 20}, L"/privacy-policy", false},
    {text::kLicenceLink, look::kOutline, 13, 0, {0, 0, 200, 20}, L"/end-user-agreement", false},
};
// clang-format on

void PaintLink(HWND label, const LinkRow& row) {
    raii::unique_hdc_paint paint(label);
    HDC dc = paint.get();
    SetTextColor(dc, row.colour);
    SetBkColor(dc, look::kFace);
    SetBkMode(dc, OPAQUE);
    raii::unique_hgdiobj font(CreateFontW(row.fontHeight, 0, 0, 0, row.fontWeight, FALSE, TRUE, FALSE,
                                          DEFAULT_CHARSET, OUT_OUTLINE_PRECIS, CLIP_DEFAULT_PRECIS,
                                          CLEARTYPE_QUALITY, VARIABLE_PITCH, nullptr));
    raii::unique_select_object select(dc, font.get());
    // Not clipped to the text rectangle: the label's own window cuts off what is wider.
    RECT rect = row.textRect;
    DrawTextW(dc, row.label, -1, &rect, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOCLIP);
}

// The page opens in the user's browser, started by the desktop shell with the user's own
// rights: a browser this elevated process started would run with administrator rights, so
// without a shell to ask no page opens. Whether the shell managed is not examined, and the
// tutorial's report goes out either way.
void OpenPage(const LinkRow& row) {
    wchar_t address[2048];
    if (FormatBounded(address, 2048, L"https://%s%s", kVendorHost, row.pagePath) >= 0)
        (void)OpenThroughDesktopShell(address, L"");
    if (row.reportsUse) StartReportThread(TutorialOpened);
}

LRESULT HandleLinkMessage(const LinkRow& row, HWND label, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT:
        PaintLink(label, row);
        break;         // then on to the default procedure; the label's former procedure is never called
    case WM_SETCURSOR: // over any part of the label; TRUE keeps the default handling from restoring the arrow
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: // the STATIC class asks for double clicks: a quick second press is one too
        OpenPage(row);
        break;
    default: break;
    }
    return DefWindowProcW(label, message, wParam, lParam);
}

template <LinkLabel kWhich>
LRESULT CALLBACK LinkLabelProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam) {
    return HandleLinkMessage(kRows[static_cast<int>(kWhich)], label, message, wParam, lParam);
}
} // namespace

void MakeLinkLabel(HWND label, LinkLabel which) {
    WNDPROC procedure = which == LinkLabel::Tutorial  ? LinkLabelProc<LinkLabel::Tutorial>
                        : which == LinkLabel::Privacy ? LinkLabelProc<LinkLabel::Privacy>
                                                      : LinkLabelProc<LinkLabel::Licence>;
    SetWindowLongPtrW(label, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure));
}
