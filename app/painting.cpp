#include "app/painting.h"

#include "base/raii.h"
#include "base/setup_state.h"
#include "look/look.h"
#include "look/texts.h"
#include "look/window_rules.h"
#include "res/resource_ids.h"
#include "session/download_status.h"

namespace {
constexpr UINT kCentred = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOCLIP;
constexpr UINT kLeft = DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOCLIP;

HFONT MakeFont(int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_OUTLINE_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH, nullptr);
}

// DT_VCENTER centres on the rectangle's mid-line; for rectangles whose bottom lies above
// their top, turn them into one of the same mid-line with a positive height first.
void DrawLine(HDC dc, const wchar_t* line, RECT rect, UINT format) {
    int mid = window_rules::MidLine(rect.top, rect.bottom);
    if (rect.bottom < rect.top) {
        rect.top = mid - 15;
        rect.bottom = mid + 15;
    }
    DrawTextW(dc, line, -1, &rect, format);
}

void DrawBitmap(HDC dc, int resourceId, int x, int y) {
    raii::unique_hgdiobj bitmap(
        LoadImageW(g_setup.moduleInstance, MAKEINTRESOURCEW(resourceId), IMAGE_BITMAP, 0, 0, 0));
    if (!bitmap) return;
    BITMAP info{};
    GetObjectW(bitmap.get(), sizeof info, &info);
    raii::unique_hdc memory(CreateCompatibleDC(dc));
    raii::unique_select_object select(memory.get(), bitmap.get());
    BitBlt(dc, x, y, info.bmWidth, info.bmHeight, memory.get(), 0, 0, SRCCOPY);
}

void DrawStatusBand(HDC dc, const StatusSnapshot* snapshot) {
    SetBkColor(dc, look::kFace);
    if (snapshot) {
        SetTextColor(dc, look::kStatusInk);
        DrawLine(dc, snapshot->statusText, {0, 133, look::kWidth, snapshot->layoutOffset + 163}, kCentred);
        SetTextColor(dc, look::kDetailInk);
        DrawLine(dc, snapshot->detailText, {0, 133, look::kWidth, snapshot->layoutOffset + 193}, kCentred);
        if (snapshot->expanded) {
            raii::unique_hgdiobj font(MakeFont(20, FW_NORMAL));
            raii::unique_select_object select(dc, font.get());
            SetTextColor(dc, look::kBandLineInk);
            DrawLine(dc, text::kAlmostDone, {0, 133, look::kWidth, 286}, kCentred);
        }
        return;
    }
    SetTextColor(dc, look::kOutline);
    DrawLine(dc, text::kWelcome, {0, 133, look::kWidth, 128}, kCentred);
    DrawLine(dc, text::kPressButton, {0, 133, look::kWidth, 163}, kCentred);
    SetTextColor(dc, look::kStatusInk);
    DrawLine(dc, text::kDownloadAndInstall, {0, 133, 460, 163}, kCentred);
}
} // namespace

void PaintMainWindow(HWND window) {
    // Validate first, then read: a change the worker invalidates after this point asks for
    // another paint, while one read before it could be validated away with the old texts.
    raii::unique_hdc_paint paint(window);
    // The last whole snapshot; used again if a writer is caught in the middle of a text.
    static StatusSnapshot lastSnapshot;
    const StatusSnapshot* snapshot = nullptr;
    if (DownloadStatus* status = g_setup.status.get()) {
        status->Snapshot(lastSnapshot);
        snapshot = &lastSnapshot;
    }
    HDC dc = paint.get();
    raii::unique_hgdiobj outline(CreatePen(PS_SOLID, 1, look::kOutline));
    raii::unique_hgdiobj face(CreateSolidBrush(look::kFace));
    raii::unique_hgdiobj band(CreateSolidBrush(look::kTitleBand));
    {
        raii::unique_select_object pen(dc, outline.get());
        {
            raii::unique_select_object brush(dc, face.get());
            Rectangle(dc, 0, 0, look::kWidth, look::kHeight);
        }
        raii::unique_select_object brush(dc, band.get());
        Rectangle(dc, look::kTitleBandRect.left, look::kTitleBandRect.top, look::kTitleBandRect.right,
                  look::kTitleBandRect.bottom);
    }

    SetTextColor(dc, look::kWhite);
    SetBkColor(dc, look::kTitleBand);
    DrawLine(dc, g_setup.caption, {35, 0, 470, 30}, kLeft);

    DrawBitmap(dc, IDB_LOGO, 140, 45);
    DrawBitmap(dc, IDB_TITLE_ICON, 3, 3);

    DrawStatusBand(dc, snapshot);

    {
        raii::unique_hgdiobj glyphPen(CreatePen(PS_SOLID, 2, look::kWhite));
        raii::unique_select_object pen(dc, glyphPen.get());
        MoveToEx(dc, 480, 10, nullptr);
        LineTo(dc, 490, 20);
        MoveToEx(dc, 490, 10, nullptr);
        LineTo(dc, 480, 20);
        MoveToEx(dc, 450, 20, nullptr);
        LineTo(dc, 460, 20);
    }

    raii::unique_hgdiobj footerFont(MakeFont(13, 0));
    raii::unique_select_object font(dc, footerFont.get());
    SetTextColor(dc, look::kOutline);
    SetBkColor(dc, look::kFace);
    DrawLine(dc, text::kFooter, {10, 303, look::kWidth, 323}, kLeft);
}
