// Entry of the installer: run modes, package path, the main window and the message loop.
#include "base/format_bounded.h"
#include "app/main_window.h"
#include "base/raii.h"
#include "base/setup_state.h"
#include "app/switches_rules.h"
#include "look/texts.h"
#include "res/resource_ids.h"
#include "restart/restart.h"
#include "session/download_status.h"

#include <shlwapi.h>

namespace {
void ClearRunOnceValue() {
    raii::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0,
                      KEY_WRITE, key.put()) == ERROR_SUCCESS)
        (void)RegDeleteValueW(key.get(), L"MORVELT_SETUP");
}

bool ResumeScriptPresent() {
    wchar_t path[MAX_PATH];
    return ResumeScriptPath(path) && PathFileExistsW(path);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int showCommand) {
    LoadStringW(instance, IDS_CAPTION, g_setup.caption, 100);
    LoadStringW(instance, IDS_CLASS_NAME, g_setup.className, 100);
    RegisterMainClass(instance);
    ClearRunOnceValue();

    RunModes modes = DecideRunModes(arguments, ResumeScriptPresent());
    if (modes.deleteResumeScript) DeleteResumeScript();
    g_setup.continueAfterRestart = modes.continueAfterRestart;
    g_setup.restartPending = modes.restartPending;
    g_setup.autoInstall = modes.autoInstall;
    g_setup.autoLaunch = modes.autoLaunch;

    if (!CreateMainWindow(instance, showCommand)) return 0;

    if (g_setup.restartPending) {
        MakeCurrentStatus(g_setup.mainWindow);
        EnterRestartPending();
        RequestRestart(text::kRestartQuestion);
    }

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
