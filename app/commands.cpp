#include "app/commands.h"

#include "app/abort_rules.h"
#include "base/format_bounded.h"
#include "base/raii.h"
#include "base/setup_state.h"
#include "launch/launch_unelevated.h"
#include "net/reports.h"
#include "session/download_status.h"
#include "session/install_worker.h"
#include "session/package_hold.h"
#include "session/worker_rules.h"

#include <commctrl.h>
#include <shlobj.h>

namespace {
constexpr const wchar_t* kCloseProduct = L"Please, close active MORVELT application first.";
constexpr const wchar_t* kAbortQuestion = L"Are you sure you want abort MORVELT installation?";
// After an abort the process must be gone within 3 s of Yes whatever the ended worker left
// behind (a lock it held, for one); this backstop counts from Yes.
constexpr DWORD kAbortExitDeadlineMs = 2500;
// How long an abort waits for a request or package start the worker had already begun. Such
// a step takes milliseconds unless the server holds it; then the abort goes on without it.
constexpr DWORD kWorkerQuietMs = 1000;
// How long a closing report may hold the hidden window. On a working server it takes
// milliseconds; a server that accepts the connection and never answers would otherwise keep
// the process alive for good.
constexpr DWORD kClosingReportMs = 2000;
// After an abort's Yes, the wait for the worker's step and the abort report together take at
// most this long, so the process is gone within 3 s even when the server answers nothing.
constexpr DWORD kAbortReportBudgetMs = 1500;

void LaunchInstalledProduct() {
    wchar_t programFiles[MAX_PATH] = {};
    wchar_t productExePath[1024] = {};
    // Without the folder there is no path to start; the close still follows.
    if (!SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE)) return;
    if (FormatBounded(productExePath, 1024, L"%s\\Quorbin\\Vantrelisk\\MORVELT.exe", programFiles) < 0)
        return;
    LaunchUnelevated(productExePath);
}

// The backstop's start and its running signal. Static: the thread reads them after the
// close handler has moved on.
struct ExitDeadlineStart {
    ULONGLONG answeredAt;
    HANDLE running;
};
ExitDeadlineStart g_deadline;

DWORD WINAPI ExitDeadline(LPVOID) {
    SetEvent(g_deadline.running);
    Sleep(static_cast<DWORD>(BudgetLeft(kAbortExitDeadlineMs, g_deadline.answeredAt, GetTickCount64())));
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}

// Armed at Yes, and running before anything is ended: a thread's start needs the loader lock
// and the process heap, which a worker ended in the middle of a file operation may hold.
void ArmExitDeadline(ULONGLONG answeredAt) {
    g_deadline.answeredAt = answeredAt;
    raii::unique_handle running(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_deadline.running = running.get();
    raii::unique_handle deadline(CreateThread(nullptr, 0, ExitDeadline, nullptr, 0, nullptr));
    if (!deadline || !running) return;
    // Once it has signalled, the thread no longer needs the event; until then it stays open
    // for the rest of the (short) process, since the thread may still be about to set it.
    if (WaitForSingleObject(running.get(), kAbortExitDeadlineMs) != WAIT_OBJECT_0) (void)running.release();
}

void StopWorker() {
    HANDLE worker = g_setup.workerThread.exchange(nullptr);
    if (!worker) return;
    TerminateThread(worker, 0);
    CloseHandle(worker);
}
} // namespace

void HandleInstallCommand(HWND window) {
    if (g_setup.restartPending) return;
    DownloadStatus* status = g_setup.currentStatus.load();
    if (status && status->succeeded) {
        LaunchInstalledProduct();
        SendMessageW(window, WM_CLOSE, 1, 0);
        return;
    }
    if (g_setup.workerThread.load()) return;
    if (!g_setup.autoInstall && ProductRunning()) {
        MessageBoxW(window, kCloseProduct, g_setup.caption, MB_OK | MB_ICONERROR);
        return;
    }
    EnableWindow(g_setup.installButton, FALSE);
    HWND bar = g_setup.progressBar;
    SetWindowLongW(bar, GWL_STYLE, GetWindowLongW(bar, GWL_STYLE) | PBS_MARQUEE);
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
    SendMessageW(bar, PBM_SETSTATE, PBST_NORMAL, 0);
    // Created suspended so that workerThread holds the handle before the worker can end and
    // clear it; then it runs at once.
    HANDLE worker = CreateThread(nullptr, 0, InstallWorker, window, CREATE_SUSPENDED, nullptr);
    if (!worker) {
        // Nothing can run the attempt: give the button back and say so in the bar, rather
        // than leave a disabled button over a marquee that never ends.
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongW(bar, GWL_STYLE, GetWindowLongW(bar, GWL_STYLE) & ~PBS_MARQUEE);
        SendMessageW(bar, PBM_SETPOS, 200, 0);
        SendMessageW(bar, PBM_SETSTATE, PBST_ERROR, 0);
        EnableWindow(g_setup.installButton, TRUE);
        return;
    }
    g_setup.workerThread = worker;
    ResumeThread(worker);
}

LRESULT HandleCloseRequest(HWND window, WPARAM wParam, LPARAM lParam) {
    if (g_setup.restartPending) return DefWindowProcW(window, WM_CLOSE, wParam, lParam);

    DownloadStatus* status = g_setup.currentStatus.load();
    if (status && status->succeeded) {
        ShowWindow(window, SW_HIDE);
        (void)ReportEventWithin(wParam == 1 ? ClosedWithLaunch : ClosedAfterSuccess, nullptr,
                                kClosingReportMs);
        Sleep(2000);
        DeleteFileW(g_setup.packagePath);
        return DefWindowProcW(window, WM_CLOSE, wParam, lParam);
    }

    if (MessageBoxW(window, kAbortQuestion, g_setup.caption, MB_YESNO | MB_ICONQUESTION) != IDYES) return 0;
    ULONGLONG answeredAt = GetTickCount64();
    ArmExitDeadline(answeredAt);
    ShowWindow(window, SW_HIDE);
    g_setup.abortCommitted = true;
    status = g_setup.currentStatus.load(); // the stage is judged after the answer
    AbortStage stage{status != nullptr, status && status->downloadComplete, status && status->packageRunning};
    EventCode code = AbortEvent(stage);
    wchar_t abortDetail[kExtraUnits] = {};
    if (code == AbortedDuringDownload && status) {
        status->abortRequested = true;
        FormatAbortExtra(abortDetail,
                         AbortSpeed(status->totalBytes, status->fraction, status->createdAt, NowSeconds()),
                         status->lastPercent);
    }
    (void)AwaitWorkerQuiet(kWorkerQuietMs);
    (void)ReportEventWithin(code, code == AbortedDuringDownload ? abortDetail : nullptr,
                            static_cast<DWORD>(BudgetLeft(kAbortReportBudgetMs, answeredAt, GetTickCount64())));
    StopWorker();
    ReleasePackageHold();
    DeleteFileW(g_setup.packagePath);
    return DefWindowProcW(window, WM_CLOSE, wParam, lParam);
}
