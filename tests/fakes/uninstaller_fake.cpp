// Stand-in for a previous installation's uninstallers ("Uninstall MORVELT.exe" and its two siblings, all
// copies of this program), which the installer runs with " /S" from the installation root.
//
// Like a real uninstaller it deletes the product's files in the component folders next to it and the
// product's registry value. It leaves what real ones leave: the folders, the product's user data
// (settings.ini, Vesk\data\cache.bin) and the uninstallers themselves, so the installer has remains to
// delete. A file it cannot delete (say, a locked one) is logged and left.
//
// Files in C:\fakes\: uninstaller_keep present = delete nothing; uninstaller_delay_ms holds a number of
// milliseconds to sleep first. Log C:\fakes\log\uninstaller.txt: "started ... dir=[...]", "removed
// path=[...]", "remove-failed path=[...] error=N", "registry-removed status=N", "done removed=N failed=N".
// Exit code 0.
#include "tests/fakes/fake_common.h"

namespace {

constexpr wchar_t kLog[] = L"uninstaller.txt";
constexpr wchar_t kKeepFile[] = L"C:\\fakes\\uninstaller_keep";
constexpr wchar_t kDelayFile[] = L"C:\\fakes\\uninstaller_delay_ms";

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    fake::DropOwnConsole();
    std::wstring root = fake::Folder(fake::OwnPath()) + L"\\";
    fake::Log(kLog, fake::StartedLine() + L" dir=[" + root + L"]");

    long long delayMs = fake::FileNumber(kDelayFile, 0);
    if (delayMs > 0) {
        fake::Log(kLog, L"sleeping ms=" + fake::Number(delayMs));
        Sleep((DWORD)delayMs);
    }
    if (fake::Exists(kKeepFile)) {
        fake::Log(kLog, L"done keep=1 removed=0 failed=0");
        return 0;
    }

    int removed = 0, failed = 0;
    auto remove = [&](const std::wstring& path) {
        if (!fake::Exists(path)) return;
        if (DeleteFileW(path.c_str())) {
            ++removed;
            fake::Log(kLog, L"removed path=[" + path + L"]");
        } else {
            ++failed;
            fake::Log(kLog, L"remove-failed path=[" + path + L"] error=" + fake::Number(GetLastError()));
        }
    };
    for (const wchar_t* file : fake::kInstalledFiles) remove(root + file);
    remove(root + fake::kProductExe);

    LSTATUS status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, fake::kRegistryKey, KEY_WOW64_32KEY, 0);
    fake::Log(kLog, L"registry-removed status=" + fake::Number(status));
    fake::Log(kLog, L"done removed=" + fake::Number(removed) + L" failed=" + fake::Number(failed));
    return 0;
}
