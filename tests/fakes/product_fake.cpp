// Stand-in for the installed product, MORVELT.exe. While it runs it holds the named mutex "MORVELT", by
// which the installer tells that the product is running. It records how it was started (command line,
// folder, parent process, elevation), so tests can see that the installer had the desktop shell start it
// unelevated instead of starting it itself.
//
// It runs until C:\fakes\stop_product exists (checked every 100 ms) or its lifetime ends: "--hold <ms>" on
// the command line, else MORVELT_FAKE_LIFETIME_MS, else the number in C:\fakes\product_lifetime_ms (a
// start by the shell does not get the test's environment), else 20 s. With C:\fakes\product_window
// present it also shows a small window titled "MORVELT", for the demo.
//
// Log C:\fakes\log\product.txt: "started ...", "mutex name=MORVELT existed=0|1 ok=0|1 denied=0|1",
// "stopping reason=...".
#include "tests/fakes/fake_common.h"

#include <sddl.h>

namespace {

constexpr wchar_t kLog[] = L"product.txt";
constexpr wchar_t kMutexName[] = L"MORVELT";
constexpr wchar_t kStopFile[] = L"C:\\fakes\\stop_product";
constexpr wchar_t kLifetimeFile[] = L"C:\\fakes\\product_lifetime_ms";
constexpr wchar_t kWindowFile[] = L"C:\\fakes\\product_window";
constexpr long long kDefaultLifetimeMs = 20000;
constexpr UINT kPollMs = 100;

long long Lifetime(PWSTR args) {
    if (const wchar_t* hold = wcsstr(args, L"--hold "))
        return fake::ParseNumber(hold + 7, kDefaultLifetimeMs);
    long long fromEnv = fake::EnvNumber(L"MORVELT_FAKE_LIFETIME_MS", -1);
    if (fromEnv >= 0) return fromEnv;
    return fake::FileNumber(kLifetimeFile, kDefaultLifetimeMs);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        raii::unique_hdc_paint paint(window);
        RECT client;
        GetClientRect(window, &client);
        DrawTextW(paint.get(), L"MORVELT is running", -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        return 0;
    }
    if (message == WM_CLOSE) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

void ShowProductWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"MorveltFakeProduct";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"MORVELT", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 300, 300,
                                  360, 140, nullptr, nullptr, wc.hInstance, nullptr);
    fake::Log(kLog, L"window created hwnd=" + fake::Hex(reinterpret_cast<ULONG_PTR>(window)));
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR args, int) {
    fake::DropOwnConsole();
    fake::Log(kLog, fake::StartedLine());
    // MORVELT_FAKE_MUTEX_DENY=1: a mutex no one else may open, as one of a product that runs
    // under another account or integrity level looks to the installer.
    SECURITY_ATTRIBUTES denied{sizeof denied, nullptr, FALSE};
    raii::unique_hlocal descriptor;
    if (fake::Env(L"MORVELT_FAKE_MUTEX_DENY") == L"1" &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;GA;;;WD)", SDDL_REVISION_1,
                                                             descriptor.put(), nullptr))
        denied.lpSecurityDescriptor = descriptor.get();
    const bool denying = static_cast<bool>(descriptor);
    raii::unique_handle mutex(CreateMutexW(denying ? &denied : nullptr, FALSE, kMutexName));
    DWORD created = GetLastError();
    descriptor.reset(); // the mutex keeps its own copy
    fake::Log(kLog, std::wstring(L"mutex name=") + kMutexName + L" existed=" +
                        fake::Number(created == ERROR_ALREADY_EXISTS) + L" ok=" + fake::Number(bool(mutex)) +
                        L" denied=" + fake::Number(denying));

    long long lifetimeMs = Lifetime(args);
    if (fake::Exists(kWindowFile)) ShowProductWindow();

    // A thread timer drives the polling, so a window (when there is one) keeps being served meanwhile.
    SetTimer(nullptr, 0, kPollMs, nullptr);
    ULONGLONG end = GetTickCount64() + (ULONGLONG)lifetimeMs;
    const wchar_t* reason = L"closed";
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && !msg.hwnd) {
            if (fake::Exists(kStopFile)) {
                reason = L"stop_file";
                break;
            }
            if (GetTickCount64() >= end) {
                reason = L"lifetime";
                break;
            }
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    fake::Log(kLog, std::wstring(L"stopping reason=") + reason + L" lifetime_ms=" + fake::Number(lifetimeMs));
    return 0;
}
