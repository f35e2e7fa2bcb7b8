#include "session/removal.h"

#include "base/format_bounded.h"
#include "base/raii.h"
#include "base/setup_state.h"
#include "base/file_helpers.h"
#include "base/path_rules.h"
#include "base/system_folders.h"
#include "look/texts.h"
#include "session/download_status.h"
#include "session/outward_steps.h"

#include <shellapi.h>

namespace {
constexpr const wchar_t* kInstallKey = L"SOFTWARE\\Halvaren\\Quorbin Vantrelisk";
constexpr const wchar_t* kUninstaller = L"Uninstall MORVELT.exe";
constexpr const wchar_t* kComponentFolders[] = {L"Pellam", L"Ostrel", L"Vesk", L"Vantrelisk", L"Drummel"};
constexpr const wchar_t* kUninstallerFiles[] = {L"Uninstall Ostrel.exe", L"Uninstall Drummel.exe",
                                                L"Uninstall MORVELT.exe"};
constexpr int kPathUnits = 2048;

void RunUninstallerAndWait(HANDLE process) {
    while (WaitHandlingSentMessages(process, 300) == WAIT_TIMEOUT)
        (void)WaitHandlingSentMessages(nullptr, 100);
    (void)WaitHandlingSentMessages(nullptr, 1000);
}

// The shell's delete of one folder; 0 on success.
int ShellDeleteFolder(const wchar_t* path) {
    wchar_t list[kPathUnits + 1];
    if (FormatBounded(list, kPathUnits, L"%s", path) < 0) return -1;
    list[lstrlenW(list) + 1] = 0; // a list of one path ends in a second terminator
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = list;
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    return SHFileOperationW(&operation);
}

} // namespace

RemovalOutcome RemovePreviousInstallation() {
    raii::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return RemovalOutcome::Done;
    wchar_t installRoot[kValueUnits];
    DWORD bytes = sizeof installRoot;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(installRoot),
                         &bytes) != ERROR_SUCCESS)
        return RemovalOutcome::Done;
    if (!InstallRootFromValue(installRoot, bytes) || !IsInstallationFolder(installRoot) ||
        NamesSystemFolder(installRoot))
        return RemovalOutcome::Done;

    wchar_t path[kPathUnits];
    if (FormatBounded(path, kPathUnits, L"%s%s", installRoot, kUninstaller) < 0 || !EntryExists(path))
        return RemovalOutcome::Done;

    WorkerCheckpoint();
    if (DownloadStatus* status = g_setup.status.get()) {
        status->SetStatusText(text::kUninstalling);
        status->InvalidateStatus();
    }
    // CreateProcessW takes no application name of MAX_PATH units or more (Wine's even
    // crashes on one of about a thousand): such an uninstaller cannot be started.
    if (lstrlenW(path) >= MAX_PATH) return RemovalOutcome::Done;
    {
        raii::unique_handle uninstaller = StartProgram(path, L" /S");
        if (!uninstaller) return RemovalOutcome::Done;
        RunUninstallerAndWait(uninstaller.get());
    }

    bool allClean = true;
    for (const wchar_t* folder : kComponentFolders) {
        WorkerCheckpoint();
        if (FormatBounded(path, kPathUnits, L"%s%s", installRoot, folder) < 0) continue;
        DWORD attributes = GetFileAttributesW(path);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (IsFolderLink(attributes)) {
            // The component lives elsewhere behind a link: the link goes, its target stays.
            if (!RemoveFolderLinkOrSchedule(path)) allClean = false;
            continue;
        }
        // Some shells delete through links to folders; the shell only gets a tree without
        // them. A link that cannot go leaves the folder to DeleteTreeContents, which never
        // follows one.
        if (!RemoveFolderLinksInside(path) || ShellDeleteFolder(path) != 0) {
            DeleteTreeContents(path);
            allClean = false;
        }
    }
    for (const wchar_t* file : kUninstallerFiles) {
        WorkerCheckpoint();
        if (FormatBounded(path, kPathUnits, L"%s%s", installRoot, file) < 0) continue;
        if (EntryExists(path) && !DeleteOrSchedule(path)) allClean = false;
    }
    return allClean ? RemovalOutcome::Done : RemovalOutcome::RestartNeeded;
}
