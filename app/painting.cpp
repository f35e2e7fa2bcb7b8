#include "app/painting.h"

#include "base/raii.h"
#include "base/setup_state.h"
#include "res/resource_ids.h"
#include "session/download_status.h"

namespace {
constexpr COLORREF kFace = RGB(240, 240, 240);
constexpr COLORREF kOutline = RGB(128, 128, 128);
constexpr COLORREF kTitleBand = RGB(118, 136, 154);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kStatus = RGB(0, 0, 0);
constexpr COLORREF kDetail = RGB(80, 80, 80);
constexpr COLORREF kBandLine = RGB(30, 30, 30);

constexpr UINT kCentred = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOCLIP;
constexpr UINT kLeft = DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOCLIP;

HFONT MakeFont(int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_OUTLINE_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH, nullptr);
}

// DT_VCENTER centres on the rectangle's mid-line; for rectangles whose bottom lies above
// their top, turn them into one of the same mid-line with a positive height first.
void DrawLine(HDC dc, const wchar_t* text, RECT rect, UINT format) {
    int mid = rect.top + (rect.bottom - rect.top) / 2;
    if (rect.bottom < rect.top) {
        rect.top = mid - 15;
        rect.bottom = mid + 15;
    }
    DrawTextW(dc, text, -1, &rect, format);
}

void DrawBitmap(HDC dc, int resourceId, int x, int y) {
    raii::unique_gdi bitmap(LoadImageW(g_setup.moduleInstance, MAKEINTRESOURCEW(resourceId), IMAGE_BITMAP, 0, 0, 0));
    if (!bitmap) return;
    BITMAP info{};
    GetObjectW(bitmap.get(), sizeof info, &info);
    raii::MemoryDc memory(dc);
    raii::SelectGuard select(memory.get(), bitmap.get());
    BitBlt(dc, x, y, info.bmWidth, info.bmHeight, memory.get(), 0, 0, SRCCOPY);
}

void DrawStatusBand(HDC dc, const StatusSnapshot* snapshot) {
    SetBkColor(dc, kFace);
    if (snapshot) {
        SetTextColor(dc, kStatus);
        DrawLine(dc, snapshot->statusText, {0, 133, 500, snapshot->layoutOffset + 163}, kCentred);
        SetTextColor(dc, kDetail);
        DrawLine(dc, snapshot->detailText, {0, 133, 500, snapshot->layoutOffset + 193}, kCentred);
        if (snapshot->expanded) {
            raii::unique_gdi font(MakeFont(20, FW_NORMAL));
            raii::SelectGuard select(dc, font.get());
            SetTextColor(dc, kBandLine);
            DrawLine(dc, L"Almost done... Meanwhile,", {0, 133, 500, 286}, kCentred);
        }
        return;
    }
    SetTextColor(dc, kOutline);
    DrawLine(dc, L"Welcome to MORVELT Setup.", {0, 133, 500, 128}, kCentred);
    DrawLine(dc, L"Please press Download and Install button to continue...", {0, 133, 500, 163}, kCentred);
    SetTextColor(dc, kStatus);
    DrawLine(dc, L"Download and Install", {0, 133, 460, 163}, kCentred);
}
} // namespace

void PaintMainWindow(HWND window) {
    // Validate first, then read: a change the worker invalidates after this point asks for
    // another paint, while one read before it could be validated away with the old texts.
    raii::PaintScope paint(window);
    // The last whole snapshot; used again if a writer is caught in the middle of a text.
    static StatusSnapshot lastSnapshot;
    const StatusSnapshot* snapshot = nullptr;
    if (DownloadStatus* status = g_setup.currentStatus.load()) {
        status->Snapshot(lastSnapshot);
        snapshot = &lastSnapshot;
    }
    HDC dc = paint.dc();
    raii::unique_gdi outline(CreatePen(PS_SOLID, 1, kOutline));
    raii::unique_gdi face(CreateSolidBrush(kFace));
    raii::unique_gdi band(CreateSolidBrush(kTitleBand));
    {
        raii::SelectGuard pen(dc, outline.get());
        raii::SelectGuard brush(dc, face.get());
        Rectangle(dc, 0, 0, 500, 330);
        SelectObject(dc, band.get());
        Rectangle(dc, 0, 0, 500, 30);
    }

    SetTextColor(dc, kWhite);
    SetBkColor(dc, kTitleBand);
    DrawLine(dc, g_setup.caption, {35, 0, 470, 30}, kLeft);

    DrawBitmap(dc, IDB_LOGO, 140, 45);
    DrawBitmap(dc, IDB_TITLE_ICON, 3, 3);

    DrawStatusBand(dc, snapshot);

    {
        raii::unique_gdi glyphPen(CreatePen(PS_SOLID, 2, kWhite));
        raii::SelectGuard pen(dc, glyphPen.get());
        MoveToEx(dc, 480, 10, nullptr);
        LineTo(dc, 490, 20);
        MoveToEx(dc, 490, 10, nullptr);
        LineTo(dc, 480, 20);
        MoveToEx(dc, 450, 20, nullptr);
        LineTo(dc, 460, 20);
    }

    raii::unique_gdi footerFont(MakeFont(13, 0));
    raii::SelectGuard font(dc, footerFont.get());
    SetTextColor(dc, kOutline);
    SetBkColor(dc, kFace);
    DrawLine(dc, L"By installing or using the product, you agree to its", {10, 303, 500, 323}, kLeft);
}
