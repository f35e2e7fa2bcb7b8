// The baseline for start-up time: a bare Win32 pop-up window of the installer's size that
// paints one rectangle and prints the milliseconds from process start to its first paint.
// bare_window [hold_ms]: after the first paint it stays up hold_ms (default 0), so that a
// screenshot can show its pixels, then quits.
#include <windows.h>
#include <cstdio>
#include <cwchar>

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
} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1) g_holdMs = static_cast<UINT>(std::wcstoul(argv[1], nullptr, 10));
    WNDCLASSW cls{};
    cls.lpfnWndProc = Proc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = L"BareWindow";
    cls.hbrBackground = CreateSolidBrush(RGB(240, 240, 240));
    RegisterClassW(&cls);
    HWND window = CreateWindowExW(0, cls.lpszClassName, L"bare", WS_POPUP, 0, 0, 500, 330, nullptr, nullptr,
                                  cls.hInstance, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
