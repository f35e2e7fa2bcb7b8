// Stand-in browser: records every address it is asked to open and exits. Its command line, less its
// own path (and the quotes around a quoted address), is the address.
//
// Making it the http/https handler in a Wine prefix: Wine's ShellExecute "open" of an address runs the
// command registered for its scheme under HKEY_CLASSES_ROOT, which a fresh prefix points at winebrowser.
// Replace that command in HKLM\Software\Classes (what HKCR shows; these keys are shared by the 32- and
// 64-bit views). Seen with Wine 8: a per-user HKCU\Software\Classes entry is ignored, and the
// HKCU\Software\Wine\WineBrowser "Browsers" list only names Unix programs. As a .reg file for regedit /S:
//   [HKEY_LOCAL_MACHINE\Software\Classes\https\shell\open\command]
//   @="\"C:\\fakes\\browser_fake.exe\" \"%1\""
//   [HKEY_LOCAL_MACHINE\Software\Classes\http\shell\open\command]
//   @="\"C:\\fakes\\browser_fake.exe\" \"%1\""
//
// Log C:\fakes\log\browser.txt: "url=[...] parent_pid=N parent_exe=[...]".
#include "tests/fakes/fake_common.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR args, int) {
    fake::DropOwnConsole();
    std::wstring url = args;
    while (!url.empty() && url.front() == L' ') url.erase(0, 1);
    while (!url.empty() && url.back() == L' ') url.pop_back();
    if (url.size() >= 2 && url.front() == L'"' && url.back() == L'"') url = url.substr(1, url.size() - 2);
    fake::ProcessInfo parent = fake::Parent();
    fake::Log(L"browser.txt", L"url=[" + url + L"] parent_pid=" + fake::Number(parent.parentPid) +
                                  L" parent_exe=[" + parent.parentExe + L"]");
    return 0;
}
