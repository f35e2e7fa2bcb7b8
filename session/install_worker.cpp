#include "session/install_worker.h"

#include "base/format_bounded.h"
#include "base/raii.h"
#include "base/setup_state.h"
#include "net/lookup_rules.h"
#include "net/package_source.h"
#include "net/reports.h"
#include "restart/restart.h"
#include "session/download_status.h"
#include "base/file_helpers.h"
#include "session/package_hold.h"
#include "session/removal.h"
#include "session/worker_rules.h"

#include <atomic>
#include <commctrl.h>

namespace {
constexpr int kInstallCommand = 104;
constexpr int32_t kGaveUpWaiting = 10;
constexpr const wchar_t* kDownloadFailed = L"Cannot download MORVELT package, please try again.";
constexpr const wchar_t* kCloseProduct = L"Please, close active MORVELT application first.";
constexpr const wchar_t* kSuccessRestartQuestion = L"MORVELT successfully installed. To start using MORVELT "
                                                   L"you have to reboot your PC. Would you like reboot "
                                                   L"your PC now?";

// True while the worker is inside a step whose effect lies outside this process: a request
// to a server, or the start of the package. The worker sets it before it looks at the abort
// flag; the close handler sets the abort flag before it looks at this one. So either the
// worker sees the abort and never begins the step, or the close handler sees the step and
// waits for its end (AwaitWorkerQuiet).
std::atomic<bool> g_outwardStep{false};

class OutwardStep {
  public:
    OutwardStep() {
        g_outwardStep.store(true);
        if (g_setup.abortCommitted.load()) {
            g_outwardStep.store(false);
            WorkerCheckpoint();
        }
    }
    ~OutwardStep() { g_outwardStep.store(false); }
    OutwardStep(const OutwardStep&) = delete;
    OutwardStep& operator=(const OutwardStep&) = delete;
};

void ReplaceStatus(HWND window) {
    if (DownloadStatus* old = g_setup.currentStatus.exchange(nullptr)) {
        // The painter runs on the user-interface thread; deleting there means it can never
        // be in the middle of reading this instance. The window deletes only the instance
        // handed over here. If the message cannot be posted the instance is kept rather
        // than risked.
        g_setup.retiringStatus.store(old);
        PostMessageW(window, kRetireStatusMessage, 0, reinterpret_cast<LPARAM>(old));
    }
}

int ShowBox(HWND window, const wchar_t* text, UINT type) {
    WorkerCheckpoint();
    int answer = MessageBoxW(window, text, g_setup.caption, type);
    WorkerCheckpoint();
    return answer;
}

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
        int answer = ShowBox(window, kCloseProduct, MB_OKCANCEL | MB_ICONERROR);
        if (answer == IDCANCEL || answer == 0) return false;
    }
    return true;
}

// After a restart only the very file downloaded before it runs again: any other file of that
// name, which any program of the user could have put there, is downloaded anew.
bool ReuseRecordedPackage() {
    if (!g_setup.continueAfterRestart) return false;
    if (HoldPackage() && HeldPackageIsRecorded()) return true;
    ReleasePackageHold();
    return false;
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
    raii::unique_handle package(StartProgram(g_setup.packagePath, L" /S"));
    ReleasePackageHold(); // the process has the file now, or nothing will run it
    if (!package) return exitCode;
    g_setup.childProcessId = GetProcessId(package.get());
    while (WaitForSingleObject(package.get(), 300) == WAIT_TIMEOUT) {
        WorkerCheckpoint();
        RaiseSetupWindowIfShown();
    }
    DWORD code = 0;
    if (GetExitCodeProcess(package.get(), &code)) exitCode = static_cast<int32_t>(code);
    return exitCode;
}

void CloseThreadHandle() {
    // Whoever takes the handle out of workerThread owns it: the worker when it ends, the
    // close handler when it ends the worker.
    if (HANDLE self = g_setup.workerThread.exchange(nullptr)) CloseHandle(self);
}
// The bar and the outcome first, the button last: once the thread handle is given up and the
// button enabled, a click may start the next attempt, which retires this attempt's status.
void FinalState(HWND window, DownloadStatus* status) {
    ReleasePackageHold();
    if (g_setup.restartRequired) {
        CloseThreadHandle();
        return;
    }
    WorkerCheckpoint();
    HWND bar = g_setup.progressBar;
    SendMessageW(bar, PBM_SETMARQUEE, 0, 0);
    SetWindowLongW(bar, GWL_STYLE, GetWindowLongW(bar, GWL_STYLE) & ~PBS_MARQUEE);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 200));
    SendMessageW(bar, PBM_SETPOS, 200, 0);
    bool succeeded = status->succeeded.load();
    if (!succeeded) SendMessageW(bar, PBM_SETSTATE, PBST_ERROR, 0);
    if (g_setup.autoLaunch && succeeded) PostMessageW(window, WM_COMMAND, kInstallCommand, 0);
    CloseThreadHandle();
    EnableWindow(g_setup.installButton, TRUE);
}

} // namespace

bool ProductRunning() {
    raii::unique_handle mutex(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"MORVELT"));
    return mutex || GetLastError() == ERROR_ACCESS_DENIED;
}

void WorkerCheckpoint() {
    if (g_setup.abortCommitted.load()) {
        for (;;)
            Sleep(INFINITE);
    }
}

bool AwaitWorkerQuiet(DWORD timeoutMs) {
    return WaitWithin(
        timeoutMs, [] { return !g_outwardStep.load(); }, [] { return GetTickCount64(); }, [] { Sleep(10); });
}

HANDLE StartProgram(const wchar_t* application, const wchar_t* commandLine) {
    // A started program acts outside this process: never after the abort report.
    WorkerCheckpoint();
    OutwardStep step;
    wchar_t arguments[16];
    lstrcpynW(arguments, commandLine, 16); // CreateProcessW may write to its command line
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application, arguments, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

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

DWORD WINAPI InstallWorker(LPVOID parameter) {
    HWND window = static_cast<HWND>(parameter);
    ReplaceStatus(window);
    EnableWindow(g_setup.installButton, FALSE);
    DownloadStatus* status = new DownloadStatus(window);
    g_setup.currentStatus = status;
    // The instance invalidated its band while it was not yet current; a paint in between
    // showed the welcome texts. Paint again now that the painter can find it.
    status->InvalidateStatus();
    Report(InstallStarted, nullptr);
    int64_t startTime = NowSeconds();

    char packageName[kPackageNameBytes];
    bool packageInPlace = false;
    bool freshDownload = false;
    if (!LookUp(packageName)) {
        ShowBox(window, kDownloadFailed, MB_OK | MB_ICONERROR);
        ShowNotInstalled();
    } else if (ReuseRecordedPackage()) {
        packageInPlace = true;
    } else if (Download(packageName, status) && HoldPackage()) {
        packageInPlace = true;
        freshDownload = true;
    } else {
        WorkerCheckpoint();
        ShowDownloadFailed();
        ShowBox(window, kDownloadFailed, MB_OK | MB_ICONERROR);
    }
    if (!packageInPlace) {
        FinalState(window, status);
        return 0;
    }

    WorkerCheckpoint();
    status->SetDetailText(L"");
    status->downloadComplete = true;
    status->CollapseLayout();
    if (freshDownload) {
        wchar_t extra[kExtraUnits];
        FormatSpeedExtra(extra, DownloadFinishedSpeed(status->totalBytes.load(), startTime, NowSeconds()));
        Report(DownloadFinished, extra);
    }

    int32_t exitCode = -1;
    bool skipPackage = !WaitForProductToClose(window);
    if (skipPackage)
        exitCode = kGaveUpWaiting;
    else
        RemovePreviousInstallation();

    WorkerCheckpoint();
    status->SetStatusText(L"Installing MORVELT...");
    status->InvalidateStatus();
    ShowWindow(window, SW_SHOWNORMAL);

    if (!skipPackage) {
        status->packageRunning = true;
        exitCode = RunPackage();
        status->packageRunning = false;
    }

    if (exitCode != 0) {
        wchar_t extra[kExtraUnits];
        FormatCodeExtra(extra, exitCode);
        Report(InstallFailed, extra);
        ShowNotInstalled();
    } else {
        Report(InstallSucceeded, nullptr);
        WorkerCheckpoint();
        if (g_setup.restartRequired) {
            EnterRestartPending();
            RequestRestart(kSuccessRestartQuestion);
        } else {
            status->succeeded = true;
            status->SetStatusText(L"MORVELT successfully installed...");
            status->InvalidateStatus();
            SetWindowTextW(g_setup.installButton, L"Close and Launch MORVELT");
        }
    }
    WorkerCheckpoint();
    ShowWindow(window, SW_SHOWNORMAL);
    SetForegroundWindow(window);
    FinalState(window, status);
    return 0;
}
