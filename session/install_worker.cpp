#include "session/install_worker.h"

#include "base/format_bounded.h"
#include "base/raii.h"
#include "base/setup_state.h"
#include "look/look.h"
#include "look/texts.h"
#include "net/lookup_rules.h"
#include "net/package_source.h"
#include "net/reports.h"
#include "session/download_status.h"
#include "session/outward_steps.h"
#include "session/package_folder.h"
#include "session/package_hold.h"
#include "session/package_signature.h"
#include "session/removal.h"
#include "session/restart_path.h"
#include "session/worker_rules.h"

namespace {
constexpr int32_t kGaveUpWaiting = 10;

void Report(EventCode code, const wchar_t* extras) {
    WorkerCheckpoint();
    OutwardStep step;
    ReportEvent(code, extras);
}

bool LookUp(char* packageName) {
    WorkerCheckpoint();
    OutwardStep step;
    return LookupPackageName(packageName);
}

bool Download(const char* packageName, DownloadStatus* status) {
    WorkerCheckpoint();
    OutwardStep step;
    return DownloadPackage(packageName, g_setup.packagePath, status);
}

// Waits until no running product holds its mutex; false when the user gives up. A box that
// cannot be shown (answer 0) counts as Cancel: asking again at once would spin for good.
bool WaitForProductToClose(HWND window) {
    while (ProductRunning()) {
        int answer = ShowGuardedBox(window, text::kCloseProduct, MB_OKCANCEL | MB_ICONERROR);
        if (answer == IDCANCEL || answer == 0) return false;
    }
    return true;
}

// After a restart only the very file downloaded before it runs again, from the folder it was
// kept in: anything else is downloaded anew.
bool ReuseRecordedPackage(const PackageDigest& recorded) {
    if (!recorded.present || !AdoptPackageFolder(recorded.path)) return false;
    if (HoldPackage() && HeldPackageMatches(recorded) && HeldPackageIsProgram() &&
        HeldPackageSignedByVendor())
        return true;
    ReleasePackageHold();
    return false;
}

// A fresh package that is no program for this machine (a network's sign-in page, a file cut
// short) or not the vendor's counts as a download that failed, and goes before anything is
// removed: nothing of it runs, and nothing of it stays for a later attempt.
bool HeldPackageIsTrusted() {
    if (HeldPackageIsProgram() && HeldPackageSignedByVendor()) return true;
    ReleasePackageHold();
    DeleteFileW(g_setup.packagePath);
    return false;
}

// Enumeration callback: finds the package's own setup window.
BOOL CALLBACK FindChildSetupWindow(HWND window, LPARAM resultSlot) {
    wchar_t title[100] = {};
    GetWindowTextW(window, title, 100);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == g_setup.childProcessId.load() && IsSetupWindowTitle(title)) {
        *reinterpret_cast<HWND*>(resultSlot) = window;
        return FALSE;
    }
    return TRUE;
}

void RaiseSetupWindowIfShown() {
    HWND found = nullptr;
    EnumWindows(FindChildSetupWindow, reinterpret_cast<LPARAM>(&found));
    if (found) {
        SetForegroundWindow(found);
        ShowWindow(found, SW_SHOWNORMAL);
        g_setup.restartRequired = true;
    }
}

int32_t RunPackage() {
    int32_t exitCode = -1;
    WorkerCheckpoint();
    raii::unique_handle package = StartProgram(g_setup.packagePath, L" /S");
    ReleasePackageHold(); // the process has the file now, or nothing will run it
    if (!package) return exitCode;
    g_setup.childProcessId = GetProcessId(package.get());
    while (WaitHandlingSentMessages(package.get(), 300) == WAIT_TIMEOUT) {
        WorkerCheckpoint();
        RaiseSetupWindowIfShown();
    }
    DWORD code = 0;
    if (GetExitCodeProcess(package.get(), &code)) exitCode = static_cast<int32_t>(code);
    return exitCode;
}

// The bar and the outcome first, the button last: once the worker has said it is finished
// and the button is enabled, a click may start the next attempt, which retires this
// attempt's status.
void FinalState(HWND window, DownloadStatus* status) {
    ReleasePackageHold();
    if (g_setup.restartRequired) {
        g_setup.worker.finished();
        return;
    }
    WorkerCheckpoint();
    bool succeeded = status->succeeded.load();
    look::ShowBarFinished(g_setup.progressBar, succeeded ? look::BarEnd::Succeeded : look::BarEnd::Failed);
    if (g_setup.autoLaunch && succeeded) PostMessageW(window, WM_COMMAND, look::kInstallCommand, 0);
    g_setup.worker.finished();
    EnableWindow(g_setup.installButton, TRUE);
}

// A fresh status for the window, and the attempt's first report.
DownloadStatus* BeginAttempt(HWND window) {
    RetireCurrentStatus(window);
    EnableWindow(g_setup.installButton, FALSE);
    MakeCurrentStatus(window);
    DownloadStatus* status = g_setup.status.get();
    // The instance invalidated its band while it was not yet current; a paint in between
    // showed the welcome texts. Paint again now that the painter can find it.
    status->InvalidateStatus();
    Report(InstallStarted, nullptr);
    return status;
}

// Looks the package up and downloads it (or, after a restart, takes the recorded one), and
// holds it. False, with the failure shown, when there is no package to run.
bool ObtainPackage(HWND window, DownloadStatus* status) {
    int64_t startTime = NowSeconds();
    char packageName[kPackageNameBytes];
    bool freshDownload = false;
    // Read once and removed at once, whatever the lookup and the reuse then decide.
    PackageDigest recorded;
    if (g_setup.continueAfterRestart) recorded = TakeRecordedPackage();
    if (!LookUp(packageName)) {
        ShowGuardedBox(window, text::kDownloadFailed, MB_OK | MB_ICONERROR);
        ShowNotInstalled();
        return false;
    }
    if (ReuseRecordedPackage(recorded)) {
        // the recorded package is held in place
    } else if (PreparePackageFolder() && Download(packageName, status) && HoldPackage() &&
               HeldPackageIsTrusted()) {
        freshDownload = true;
    } else {
        WorkerCheckpoint();
        ShowDownloadFailed();
        ShowGuardedBox(window, text::kDownloadFailed, MB_OK | MB_ICONERROR);
        return false;
    }

    WorkerCheckpoint();
    status->SetDetailText(L"");
    status->downloadComplete = true;
    status->CollapseLayout();
    if (freshDownload) {
        wchar_t extra[kExtraUnits];
        static_cast<void>(FormatSpeedExtra(
            extra, DownloadFinishedSpeed(status->totalBytes.load(), startTime, NowSeconds())));
        Report(DownloadFinished, extra);
    }
    return true;
}

struct Installation {
    bool restartNeeded = false; // the removal left files that only a restart removes
    int32_t exitCode = -1;      // the package's, or kGaveUpWaiting
};

// Waits for the product to close, removes the previous installation and runs the package.
Installation InstallPackage(HWND window, DownloadStatus* status) {
    Installation result;
    bool skipPackage = !WaitForProductToClose(window);
    if (skipPackage) {
        result.exitCode = kGaveUpWaiting;
    } else if (RemovePreviousInstallation() == RemovalOutcome::RestartNeeded) {
        result.restartNeeded = true;
        return result;
    }

    WorkerCheckpoint();
    status->SetStatusText(text::kInstalling);
    status->InvalidateStatus();
    ShowWindow(window, SW_SHOWNORMAL);

    if (!skipPackage) {
        status->packageRunning = true;
        result.exitCode = RunPackage();
        status->packageRunning = false;
    }
    return result;
}

// Reports the package's outcome and shows it: the failure, the restart question, or the
// installed look with the launch button.
void ShowOutcome(HWND window, DownloadStatus* status, int32_t exitCode) {
    if (exitCode != 0) {
        wchar_t extra[kExtraUnits];
        static_cast<void>(FormatCodeExtra(extra, exitCode));
        Report(InstallFailed, extra);
        ShowNotInstalled();
    } else {
        Report(InstallSucceeded, nullptr);
        WorkerCheckpoint();
        if (g_setup.restartRequired) {
            EnterRestartPending();
            AskToRestart(window, text::kInstalledRestartQuestion);
        } else {
            status->succeeded = true;
            status->SetStatusText(text::kInstalled);
            status->InvalidateStatus();
            SetWindowTextW(g_setup.installButton, text::kCloseAndLaunch);
        }
    }
    WorkerCheckpoint();
    ShowWindow(window, SW_SHOWNORMAL);
    SetForegroundWindow(window);
}
} // namespace

DWORD WINAPI InstallWorker(LPVOID parameter) {
    HWND window = static_cast<HWND>(parameter);
    DownloadStatus* status = BeginAttempt(window);
    if (!ObtainPackage(window, status)) {
        FinalState(window, status);
        return 0;
    }
    Installation installation = InstallPackage(window, status);
    if (installation.restartNeeded) {
        WorkerCheckpoint();
        TakeRestartPath(window);
        // The package stays held while the restart is pending; the button stays disabled.
        g_setup.worker.finished();
        return 0;
    }
    ShowOutcome(window, status, installation.exitCode);
    FinalState(window, status);
    return 0;
}
