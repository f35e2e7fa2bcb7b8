#include "app/commands.h"

#include "app/abort_rules.h"
#include "base/format_bounded.h"
#include "base/raii.h"
#include "base/setup_state.h"
#include "launch/launch_unelevated.h"
#include "net/reports.h"
#include "look/look.h"
#include "look/texts.h"
#include "session/download_status.h"
#include "session/install_worker.h"
#include "session/outward_steps.h"
#include "session/package_folder.h"
#include "session/package_hold.h"
#include "session/restart_path.h"
#include "session/worker_rules.h"

#include <shlobj.h>

#include <algorithm>

namespace {
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
// The report gets at least this long even when hiding the window took the budget (Wine without a
// window manager takes 2 s to hide one): the process ends right after the report, and the
// backstop still ends it 2.5 s after Yes.
constexpr uint64_t kAbortReportFloorMs = 400;
// How long the end of an abort waits for the ended worker to be gone.
constexpr DWORD kWorkerEndMs = 300;

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
// Answers whether it was seen running.
[[nodiscard]] bool ArmExitDeadline(ULONGLONG answeredAt) {
    g_deadline.answeredAt = answeredAt;
    raii::unique_handle running(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_deadline.running = running.get();
    raii::unique_handle deadline(CreateThread(nullptr, 0, ExitDeadline, nullptr, 0, nullptr));
    if (!deadline || !running) return false;
    // Once it has signalled, the thread no longer needs the event; until then it stays open
    // for the rest of the (short) process, since the thread may still be about to set it.
    if (WaitForSingleObject(running.get(), kAbortExitDeadlineMs) == WAIT_OBJECT_0) return true;
    (void)running.release();
    return false;
}

// The end of an abort. Whatever needs the process heap or the loader lock (file and registry
// calls) is done while the worker still lives, parked or busy: a thread ended in the middle of
// a call may hold either for good. Then the worker is ended, and the process with it, without
// the orderly exit that would need them again.
[[noreturn]] void EndAfterAbort(bool backstopRunning) {
    EndProgramNotYetResumed(); // first, so that it no longer maps the package
    ReleasePackageHold();
    DiscardPackage();
    UndoRestartPath();
    // A worker that may hold a lock is only ended while the backstop can still end the process.
    if (backstopRunning) g_setup.worker.terminate(kWorkerEndMs);
    EndProgramNotYetResumed(); // one the worker created while the above went on
    UndoRestartPath();         // a script the worker placed while the above went on
    TerminateProcess(GetCurrentProcess(), 0);
    for (;;) Sleep(INFINITE); // TerminateProcess on this process does not return
}
} // namespace

void HandleInstallCommand(HWND window) {
    if (g_setup.restartPending) return;
    DownloadStatus* status = g_setup.status.get();
    if (status && status->succeeded) {
        LaunchInstalledProduct();
        SendMessageW(window, WM_CLOSE, 1, 0);
        return;
    }
    if (g_setup.worker.busy()) return;
    if (!g_setup.autoInstall && ProductRunning()) {
        MessageBoxW(window, text::kCloseProduct, g_setup.caption, MB_OK | MB_ICONERROR);
        return;
    }
    EnableWindow(g_setup.installButton, FALSE);
    look::ShowBarRunning(g_setup.progressBar);
    if (!g_setup.worker.start(InstallWorker, window)) {
        // Nothing can run the attempt: give the button back and say so in the bar, rather
        // than leave a disabled button over a marquee that never ends.
        look::ShowBarFinished(g_setup.progressBar, look::BarEnd::Failed);
        EnableWindow(g_setup.installButton, TRUE);
    }
}

void HandleCloseRequest(HWND window, WPARAM wParam, LPARAM lParam) {
    if (g_setup.restartPending) {
        DefWindowProcW(window, WM_CLOSE, wParam, lParam);
        return;
    }

    DownloadStatus* status = g_setup.status.get();
    if (status && status->succeeded) {
        ShowWindow(window, SW_HIDE);
        ReportEventWithin(wParam == 1 ? ClosedWithLaunch : ClosedAfterSuccess, nullptr, kClosingReportMs);
        Sleep(2000);
        DiscardPackage();
        DefWindowProcW(window, WM_CLOSE, wParam, lParam);
        return;
    }

    if (MessageBoxW(window, text::kAbortQuestion, g_setup.caption, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    ULONGLONG answeredAt = GetTickCount64();
    bool backstopRunning = ArmExitDeadline(answeredAt);
    ShowWindow(window, SW_HIDE);
    g_setup.abortCommitted = true;
    status = g_setup.status.get(); // the stage is judged after the answer
    AbortStage stage{status != nullptr, status && status->downloadComplete, status && status->packageRunning};
    EventCode code = AbortEvent(stage);
    wchar_t abortDetail[kExtraUnits] = {};
    if (code == AbortedDuringDownload && status) {
        status->abortRequested = true;
        // An extra that did not fit stays empty: the abort is reported without its figures.
        static_cast<void>(FormatAbortExtra(
            abortDetail, AbortSpeed(status->totalBytes, status->fraction, status->createdAt, NowSeconds()),
            status->lastPercent));
    }
    AwaitWorkerQuiet(kWorkerQuietMs);
    ReportEventWithin(
        code, code == AbortedDuringDownload ? abortDetail : nullptr,
        static_cast<DWORD>(
            std::max(BudgetLeft(kAbortReportBudgetMs, answeredAt, GetTickCount64()), kAbortReportFloorMs)));
    EndAfterAbort(backstopRunning);
}
