#include "session/package_folder.h"

#include "base/format_bounded.h"
#include "base/path_rules.h"
#include "base/raii.h"
#include "base/setup_state.h"

#include <sddl.h>

namespace {
// The owner is named, not left to the token's default: a policy can make the user the owner of
// what administrators create, and an owner may always rewrite the access list.
constexpr const wchar_t* kAdministratorsOnly = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
constexpr const wchar_t* kPackageName = L"MORVELT_PACKAGE.exe";
constexpr int kPackagePathUnits = 4096;
// The run's folder once made or adopted; empty until then.
wchar_t g_folder[MAX_PATH];

// A folder this run made, or one recorded before the restart: a plain folder, no link to one
// elsewhere. Its owner and list were fixed at its making, and only administrators may change
// either; Windows refuses the making when it cannot give the folder that owner.
[[nodiscard]] bool PlainFolder(const wchar_t* folder) {
    DWORD attributes = GetFileAttributesW(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

[[nodiscard]] bool UseFolder(const wchar_t* folder) {
    if (FormatBounded(g_setup.packagePath, kPackagePathUnits, L"%s\\%s", folder, kPackageName) < 0)
        return false;
    lstrcpynW(g_folder, folder, MAX_PATH);
    return true;
}
} // namespace

bool PreparePackageFolder() {
    if (g_folder[0]) return true;
    wchar_t windows[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    wchar_t folder[MAX_PATH];
    if (length == 0 || length >= MAX_PATH ||
        FormatBounded(folder, MAX_PATH, L"%s\\Temp\\MORVELT_%s", windows, g_setup.sessionId) < 0)
        return false;
    raii::unique_hlocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kAdministratorsOnly, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
            nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    // Fails when the name exists: whoever made it first, it is not ours.
    if (!CreateDirectoryW(folder, &attributes)) return false;
    if (PlainFolder(folder) && UseFolder(folder)) return true;
    (void)RemoveDirectoryW(folder);
    return false;
}

bool AdoptPackageFolder(const wchar_t* recordedPath) {
    wchar_t folder[MAX_PATH];
    return FolderOfFile(recordedPath, folder, MAX_PATH) && PlainFolder(folder) && UseFolder(folder);
}

void DiscardPackage() {
    (void)DeleteFileW(g_setup.packagePath);
    if (g_folder[0]) (void)RemoveDirectoryW(g_folder);
}
