// Stand-in for the installation package. The installer downloads it as MORVELT_PACKAGE.exe and runs it
// with the command line " /S"; like the real package it installs the product below the Program Files
// folder ("Quorbin\..."), copies the uninstallers next to the component folders and registers the
// installation in HKLM "SOFTWARE\Halvaren\Quorbin Vantrelisk" (32-bit view).
//
// Knobs, from the environment (the installer passes its own on to the package):
//   MORVELT_FAKE_EXIT=<n>        exit code: decimal, negative, or hex such as 0x80000000 (default 0)
//   MORVELT_FAKE_DELAY_MS=<n>    wait this long before exiting
//   MORVELT_FAKE_WINDOW=1        show a top-level window "MORVELT 2.0 Setup" for the delay (3 s without one);
//                    =hidden     create it hidden, =minimized show it minimised without activating it
//   MORVELT_FAKE_HANG=1          never exit (after installing and the window's time)
//   MORVELT_FAKE_CRASH=1         access violation right after the start line, before installing; the
//                                process ends with 0xC0000005 and no crash dialog
//   MORVELT_FAKE_NOINSTALL=1     install nothing
// Command line "--install-only": install and exit 0 at once, ignoring the knobs; tests use it to lay down
// a previous installation without the installer.
//
// Log C:\fakes\log\package.txt: "started ...", "knobs ...", "installed root=[...]" (or "copy-failed" and
// "registry-failed" lines), "window created/shown/hidden/activated/deactivated/minimized/restored",
// "hanging", "crashing", "exit code=N".
#include "tests/fakes/fake_common.h"

namespace {

constexpr wchar_t kLog[] = L"package.txt";
constexpr wchar_t kWindowTitle[] = L"MORVELT 2.0 Setup";
constexpr wchar_t kWindowClass[] = L"MorveltFakePackage";
constexpr UINT kDefaultWindowMs = 3000;
constexpr UINT_PTR kDoneTimer = 1;

// A crashed program leaves with its exception's code when no debugger takes it. Wine would start its
// debugger instead and hold the process behind a "Program Error" dialog until someone clicks it.
LONG WINAPI ExitWithExceptionCode(EXCEPTION_POINTERS* info) {
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

bool WriteSmallFile(const std::wstring& path, const std::wstring& text) {
    raii::unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes = fake::Utf8(text);
    DWORD written = 0;
    bool ok = file && WriteFile(file.get(), bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    if (!ok) fake::Log(kLog, L"write-failed path=[" + path + L"] error=" + fake::Number(GetLastError()));
    return ok;
}

bool CopyFake(const wchar_t* fakeName, const std::wstring& target) {
    std::wstring source = std::wstring(fake::kFakesDir) + L"\\" + fakeName;
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) return true;
    fake::Log(kLog, L"copy-failed from=[" + source + L"] to=[" + target + L"] error=" +
                        fake::Number(GetLastError()));
    return false;
}

// Lays the product down the way the real package does; answers whether everything landed.
bool Install() {
    std::wstring vendor = fake::ProgramFiles() + L"\\" + fake::kVendorFolder;
    std::wstring root = vendor + L"\\";
    bool ok = true;
    CreateDirectoryW(vendor.c_str(), nullptr);
    for (const wchar_t* folder : fake::kComponentFolders) CreateDirectoryW((root + folder).c_str(), nullptr);
    CreateDirectoryW((root + L"Vesk\\data").c_str(), nullptr);

    for (const wchar_t* file : fake::kInstalledFiles)
        ok &= WriteSmallFile(root + file, std::wstring(L"MORVELT test component ") + file + L"\r\n");
    for (const wchar_t* file : fake::kUserData)
        ok &= WriteSmallFile(root + file, L"[user]\r\nwritten-by=package_fake\r\n");
    ok &= CopyFake(L"product_fake.exe", root + fake::kProductExe);
    for (const wchar_t* uninstaller : fake::kUninstallers)
        ok &= CopyFake(L"uninstaller_fake.exe", root + uninstaller);

    // The registered value is the product folder; the installer derives the root by cutting "Vantrelisk".
    std::wstring value = root + fake::kProductFolder;
    raii::unique_hkey key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, fake::kRegistryKey, 0, nullptr, 0,
                                     KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr);
    if (status == ERROR_SUCCESS)
        status = RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                (DWORD)((value.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) {
        fake::Log(kLog, L"registry-failed status=" + fake::Number(status));
        ok = false;
    }
    fake::Log(kLog, L"installed root=[" + root + L"] value=[" + value + L"] complete=" + fake::Number(ok));
    return ok;
}

// --- the package's own setup window ------------------------------------------------------------------------

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SHOWWINDOW: fake::Log(kLog, wParam ? L"window shown" : L"window hidden"); break;
    case WM_ACTIVATE:
        fake::Log(kLog, LOWORD(wParam) != WA_INACTIVE ? L"window activated" : L"window deactivated");
        break;
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED) fake::Log(kLog, L"window minimized");
        if (wParam == SIZE_RESTORED) fake::Log(kLog, L"window restored");
        break;
    case WM_TIMER:
        if (wParam == kDoneTimer) PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        raii::unique_hdc_paint paint(window);
        RECT client;
        GetClientRect(window, &client);
        DrawTextW(paint.get(), L"Installing MORVELT 2.0...", -1, &client,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        return 0;
    }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Shows the window and pumps messages for the given time, or for ever when hang is set.
void RunSetupWindow(const std::wstring& mode, UINT ms, bool hang) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kWindowClass;
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, 200, 200, 420, 160,
                                  nullptr, nullptr, wc.hInstance, nullptr);
    fake::Log(kLog,
              L"window created hwnd=" + fake::Hex(reinterpret_cast<ULONG_PTR>(window)) + L" mode=" + mode);
    if (mode == L"minimized")
        ShowWindow(window, SW_SHOWMINNOACTIVE);
    else if (mode != L"hidden")
        ShowWindow(window, SW_SHOWNORMAL);
    if (!hang) SetTimer(window, kDoneTimer, ms, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    DestroyWindow(window);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR args, int) {
    fake::DropOwnConsole();
    fake::Log(kLog, fake::StartedLine());
    if (wcsstr(args, L"--install-only")) {
        Install();
        fake::Log(kLog, L"exit code=0");
        return 0;
    }

    long long exitCode = fake::EnvNumber(L"MORVELT_FAKE_EXIT", 0);
    long long delayMs = fake::EnvNumber(L"MORVELT_FAKE_DELAY_MS", 0);
    std::wstring window = fake::Env(L"MORVELT_FAKE_WINDOW");
    bool hang = fake::Env(L"MORVELT_FAKE_HANG") == L"1";
    bool crash = fake::Env(L"MORVELT_FAKE_CRASH") == L"1";
    bool noInstall = fake::Env(L"MORVELT_FAKE_NOINSTALL") == L"1";
    fake::Log(kLog, L"knobs exit=" + fake::Number((int)exitCode) + L" delay_ms=" + fake::Number(delayMs) +
                        L" window=[" + window + L"] hang=" + fake::Number(hang) + L" crash=" +
                        fake::Number(crash) + L" noinstall=" + fake::Number(noInstall));

    if (crash) {
        fake::Log(kLog, L"crashing");
        SetUnhandledExceptionFilter(ExitWithExceptionCode);
        // An access violation raised as such, not a store through null: where 32-bit code runs
        // under an emulator (see scripts/enable-i386.sh), the emulated fault reaches Wine as an
        // illegal instruction (0xC000001D), while the package's crash is the point here.
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    if (!noInstall) Install();

    if (hang) fake::Log(kLog, L"hanging");
    if (!window.empty() && window != L"0")
        RunSetupWindow(window, delayMs > 0 ? (UINT)delayMs : kDefaultWindowMs, hang);
    else if (delayMs > 0)
        Sleep((DWORD)delayMs);
    while (hang) Sleep(INFINITE);
    // Exit codes are 32 bits; a negative knob leaves with its two's complement (-1 is 0xFFFFFFFF).
    fake::Log(kLog,
              L"exit code=" + fake::Number((int)exitCode) + L" (" + fake::Hex((unsigned)exitCode) + L")");
    ExitProcess((UINT)exitCode);
}
