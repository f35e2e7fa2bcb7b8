// The baseline for start-up time: a bare Win32 pop-up window of the installer's size that
// paints one rectangle and prints the milliseconds from process start to its first paint.
// bare_window [hold_ms] [--controls]: after the first paint it stays up hold_ms (default 0), so
// that a screenshot can show its pixels, then quits. With --controls the window first gets the
// installer's child controls (button, three link labels, progress bar) in their places: what
// the platform's common controls alone add to a start.
#include <windows.h>
#include <commctrl.h>
#include <cstdio>
#include <cwchar>

#include "look/look.h"
#include "look/texts.h"

namespace {
UINT g_holdMs = 0;
constexpr UINT_PTR kQuitTimer = 1;

double MillisecondsSinceProcessStart() {
    FILETIME created, exited, kernel, user, now;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER a{{created.dwLowDateTime, created.dwHighDateTime}};
    ULARGE_INTEGER b{{now.dwLowDateTime, now.dwHighDateTime}};
    return static_cast<double>(b.QuadPart - a.QuadPart) / 10000.0;
}

LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        Rectangle(dc, 0, 0, 500, 330);
        EndPaint(window, &ps);
        static bool first = true;
        if (first) {
            first = false;
            std::printf("first_paint_ms=%.1f\n", MillisecondsSinceProcessStart());
            std::fflush(stdout);
            if (g_holdMs == 0 || !SetTimer(window, kQuitTimer, g_holdMs, nullptr)) PostQuitMessage(0);
        }
        return 0;
    }
    if (message == WM_TIMER && wParam == kQuitTimer) {
        KillTimer(window, kQuitTimer);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void CreateControls(HWND window, HINSTANCE instance) {
    // As in the installer, the manifest's v6 controls register their classes at first use.
    struct Child {
        const wchar_t* cls;
        const wchar_t* text;
        DWORD style;
        look::Box box;
        bool visible; // the tutorial link waits hidden, as in the installer
    };
    const Child children[] = {
        {L"BUTTON", text::kDownloadAndInstall, WS_TABSTOP | BS_FLAT, look::kButtonBox, true},
        {L"STATIC", text::kLicenceLink, WS_TABSTOP | SS_NOTIFY, look::kLicenceBox, true},
        {L"STATIC", text::kPrivacyLink, WS_TABSTOP | SS_NOTIFY, look::kPrivacyBox, true},
        {L"STATIC", text::kTutorialLink, WS_TABSTOP | SS_NOTIFY, look::kTutorialBox, false},
        {PROGRESS_CLASSW, nullptr, PBS_SMOOTH, look::kBarBox, true},
    };
    for (const Child& c : children)
        CreateWindowExW(0, c.cls, c.text, WS_CHILD | (c.visible ? WS_VISIBLE : 0) | c.style, c.box.x, c.box.y,
                        c.box.width, c.box.height, window, nullptr, instance, nullptr);
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    bool controls = false;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--controls") == 0)
            controls = true;
        else
            g_holdMs = static_cast<UINT>(std::wcstoul(argv[i], nullptr, 10));
    }
    WNDCLASSW cls{};
    cls.lpfnWndProc = Proc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = L"BareWindow";
    cls.hbrBackground = CreateSolidBrush(RGB(240, 240, 240));
    RegisterClassW(&cls);
    HWND window = CreateWindowExW(0, cls.lpszClassName, L"bare", WS_POPUP, 0, 0, 500, 330, nullptr, nullptr,
                                  cls.hInstance, nullptr);
    if (controls) CreateControls(window, cls.hInstance);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
