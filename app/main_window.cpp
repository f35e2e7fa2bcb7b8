#include "app/main_window.h"

#include "app/commands.h"
#include "app/link_labels.h"
#include "app/painting.h"
#include "base/setup_state.h"
#include "look/look.h"
#include "look/texts.h"
#include "look/window_rules.h"
#include "net/reports.h"
#include "res/resource_ids.h"
#include "session/download_status.h"

#include <commctrl.h>
#include <objbase.h>
#include <rpc.h>
#include <windowsx.h>

namespace {
HWND MakeChild(const wchar_t* cls, const wchar_t* label, DWORD style, const look::Box& box, int id,
               HINSTANCE instance) {
    return CreateWindowExW(0, cls, label, WS_CHILD | WS_VISIBLE | style, box.x, box.y, box.width, box.height,
                           g_setup.mainWindow, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                           nullptr);
}

void CreateControls() {
    HINSTANCE instance = g_setup.moduleInstance;
    g_setup.installButton = MakeChild(L"BUTTON", text::kDownloadAndInstall, WS_TABSTOP | BS_FLAT,
                                      look::kButtonBox, look::kInstallCommand, instance);
    g_setup.licenceLink =
        MakeChild(L"STATIC", text::kLicenceLink, WS_TABSTOP | SS_NOTIFY, look::kLicenceBox, 0, nullptr);
    MakeLinkLabel(g_setup.licenceLink, LinkLabel::Licence);
    g_setup.privacyLink =
        MakeChild(L"STATIC", text::kPrivacyLink, WS_TABSTOP | SS_NOTIFY, look::kPrivacyBox, 0, nullptr);
    MakeLinkLabel(g_setup.privacyLink, LinkLabel::Privacy);
    g_setup.tutorialLink =
        MakeChild(L"STATIC", text::kTutorialLink, WS_TABSTOP | SS_NOTIFY, look::kTutorialBox, 0, nullptr);
    MakeLinkLabel(g_setup.tutorialLink, LinkLabel::Tutorial);
    ShowWindow(g_setup.tutorialLink, SW_HIDE);
    g_setup.progressBar = MakeChild(PROGRESS_CLASSW, nullptr, PBS_SMOOTH, look::kBarBox, 0, instance);
}

void CentreWindow(HWND window) {
    HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!monitor || !GetMonitorInfoW(monitor, &info)) return;
    window_rules::Point origin = window_rules::CentredOrigin(info.rcWork.right - info.rcWork.left,
                                                             info.rcWork.bottom - info.rcWork.top);
    SetWindowPos(window, HWND_TOP, origin.x, origin.y, 0, 0, SWP_NOSIZE);
}

void CreateSessionId() {
    UUID uuid;
    RPC_WSTR text = nullptr;
    // The text is kept for the whole run. Without a UUID, or without its text form, the
    // run reports as "DEFAULT".
    if (UuidCreate(&uuid) == RPC_S_OK && UuidToStringW(&uuid, &text) == RPC_S_OK && text)
        g_setup.sessionId = reinterpret_cast<const wchar_t*>(text);
    else
        g_setup.sessionId = L"DEFAULT";
}

LRESULT OnHitTest(HWND window, WPARAM wParam, LPARAM lParam) {
    POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ScreenToClient(window, &point);
    LRESULT hit = DefWindowProcW(window, WM_NCHITTEST, wParam, lParam);
    if (!window_rules::InGlyphCorner(point.x, point.y) && hit == HTCLIENT) return HTCAPTION;
    return hit;
}

void OnLeftButtonDown(HWND window, LPARAM lParam) {
    switch (window_rules::GlyphAt(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam))) {
    case window_rules::Glyph::Close: SendMessageW(window, WM_CLOSE, 0, 0); break;
    case window_rules::Glyph::Minimise: ShowWindow(window, SW_MINIMIZE); break;
    case window_rules::Glyph::None: break;
    }
}
} // namespace

void RegisterMainClass(HINSTANCE instance) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.style = CS_HREDRAW | CS_VREDRAW;
    cls.lpfnWndProc = MainWindowProc;
    cls.hInstance = instance;
    cls.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_LARGE));
    cls.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
    cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    cls.hbrBackground = CreateSolidBrush(look::kFace); // owned by the class for the whole run
    cls.lpszClassName = g_setup.className;
    RegisterClassExW(&cls);
}

bool CreateMainWindow(HINSTANCE instance, int showCommand) {
    g_setup.moduleInstance = instance;
    HWND window =
        CreateWindowExW(0, g_setup.className, g_setup.caption, WS_POPUP, CW_USEDEFAULT, 0,
                        window_rules::kWidth, window_rules::kHeight, nullptr, nullptr, instance, nullptr);
    if (!window) return false;
    g_setup.mainWindow = window;
    CreateControls();
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    // The desktop shell's automation objects are reached from this thread at launch time;
    // a single-threaded apartment suits a thread that pumps messages. Only after the first
    // paint: COM is loaded at this call (see base/delay_load.cpp).
    (void)CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    look::ShowBarIdle(g_setup.progressBar);
    CentreWindow(window);
    CreateSessionId();
    StartReportThread(SetupStarted);
    if (g_setup.autoInstall) SendMessageW(window, WM_COMMAND, look::kInstallCommand, 0);
    return true;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: PaintMainWindow(window); return 0;
    case WM_NCHITTEST: return OnHitTest(window, wParam, lParam);
    case WM_LBUTTONDOWN: OnLeftButtonDown(window, lParam); return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == look::kInstallCommand) HandleInstallCommand(window);
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_CLOSE: HandleCloseRequest(window, wParam, lParam); return 0;
    case kRetireStatusMessage:
        // Any program can post this message: only the instance the worker handed over goes.
        g_setup.status.retire(reinterpret_cast<DownloadStatus*>(lParam));
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}
