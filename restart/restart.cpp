#include "restart/restart.h"

#include "base/raii.h"
#include "base/setup_state.h"
#include "restart/resume_script_rules.h"
#include "base/file_helpers.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace {
constexpr DWORD kRestartReason = 0x80020003; // planned, operating system, upgrade
} // namespace

bool ResumeScriptPath(wchar_t* path) {
    path[0] = 0;
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_STARTUP, nullptr, SHGFP_TYPE_CURRENT, path))) {
        path[0] = 0;
        return false;
    }
    (void)PathAppendW(path, L"MORVELT_SETUP.bat");
    return true;
}

namespace {
// The draft's name in the same folder, so that the rename that places it is one step.
[[nodiscard]] bool DraftPath(wchar_t* path) {
    if (!ResumeScriptPath(path)) return false;
    (void)PathRenameExtensionW(path, L".new");
    return true;
}
} // namespace

void WriteResumeScriptDraft(const char* installerPath, const char* resumeArguments) {
    wchar_t path[MAX_PATH];
    if (!DraftPath(path)) return;
    raii::unique_hfile file(
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    ResumeScriptPieces pieces = ResumeScriptLayout(installerPath, resumeArguments);
    for (size_t i = 0; i < 5; ++i) {
        DWORD written = 0;
        (void)WriteFile(file.get(), pieces.text[i], static_cast<DWORD>(pieces.length[i]), &written, nullptr);
    }
}

void PlaceResumeScript() {
    wchar_t draft[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (!DraftPath(draft) || !ResumeScriptPath(path)) return;
    // No replacing: a script of an earlier cycle stays, and the draft goes.
    if (!MoveFileExW(draft, path, 0)) (void)DeleteFileW(draft);
}

void DeleteResumeScript() {
    wchar_t path[MAX_PATH];
    if (ResumeScriptPath(path) && PathFileExistsW(path)) (void)DeleteOrSchedule(path);
    if (DraftPath(path) && PathFileExistsW(path)) (void)DeleteOrSchedule(path);
}

namespace {
// True when the command processor, which reads a batch file in the console's (OEM) code
// page, reads these bytes back as exactly the given path.
bool ReadsBackAs(const char* bytes, const wchar_t* path) {
    wchar_t decoded[MAX_PATH];
    if (MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, bytes, -1, decoded, MAX_PATH) <= 0) return false;
    for (size_t i = 0;; ++i) {
        if (decoded[i] != path[i]) return false;
        if (path[i] == 0) return true;
    }
}
} // namespace

void InstallerPathForScript(char* path) {
    path[0] = 0;
    DWORD n = GetModuleFileNameA(nullptr, path, kInstallerPathBytes);
    path[kInstallerPathBytes - 1] = 0;
    wchar_t wide[MAX_PATH];
    DWORD w = GetModuleFileNameW(nullptr, wide, MAX_PATH);
    if (n == 0 || w == 0 || w >= MAX_PATH) return;
    // An ANSI path with characters the code page lacks comes out with '?' in it, and one
    // with other non-ASCII characters is read back as different ones by the command
    // processor (ANSI and OEM code pages differ there); either would start nothing at
    // logon. The short form, where the file system keeps one, is then taken if it reads
    // back right; otherwise the ANSI path stays, as good as it gets.
    if (ReadsBackAs(path, wide)) return;
    wchar_t shortPath[MAX_PATH];
    DWORD s = GetShortPathNameW(wide, shortPath, MAX_PATH);
    if (s == 0 || s >= MAX_PATH) return;
    char ansi[kInstallerPathBytes];
    BOOL lossy = FALSE;
    int a =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, shortPath, -1, ansi, sizeof ansi, nullptr, &lossy);
    if (a > 0 && !lossy && ReadsBackAs(ansi, shortPath)) lstrcpynA(path, ansi, kInstallerPathBytes);
}

bool MayRestart() {
    raii::unique_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) return false;
    SetLastError(0);
    if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr)) return false;
    return GetLastError() == 0; // ERROR_NOT_ALL_ASSIGNED: the user may not restart
}

void RestartNow() { (void)ExitWindowsEx(EWX_REBOOT | EWX_FORCE, kRestartReason); }

void RequestRestart(const wchar_t* question) {
    if (!MayRestart()) return;
    if (MessageBoxW(g_setup.mainWindow, question, g_setup.caption, MB_YESNO | MB_ICONQUESTION) == IDYES)
        RestartNow();
}
