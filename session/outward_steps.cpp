#include "session/outward_steps.h"

#include "base/path_rules.h"
#include "base/setup_state.h"
#include "session/worker_rules.h"

#include <atomic>

namespace {
// True while the worker is inside an outward step.
std::atomic<bool> g_outwardStep{false};
// The process of a program created suspended and not yet resumed; whoever takes it out owns it.
raii::shared_unique_handle g_notYetResumed;
// The exit code of a program ended before it ran.
constexpr UINT kEndedBeforeStart = 1;
constexpr DWORD kEndWaitMs = 500;

// This process and the programs it starts share a job, which ends them all when this process
// goes, but only while a start is under way: an abort that ends the worker inside
// CreateProcessW (a scanner can hold it for seconds) leaves no suspended program behind holding
// its file. A program started whole outlives the installer as usual. Null where the process
// cannot join a job (Windows 7 nests none): the start then goes without this guard.
HANDLE StartJob() {
    static HANDLE job = [] {
        HANDLE made = CreateJobObjectW(nullptr, nullptr);
        if (made && !AssignProcessToJobObject(made, GetCurrentProcess())) {
            CloseHandle(made);
            made = nullptr;
        }
        return made;
    }();
    return job;
}

// Programs that ask to leave the job (some installers start their own) may.
void EndStartedProgramsWithThisProcess(bool end) {
    HANDLE job = StartJob();
    if (!job) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_BREAKAWAY_OK | (end ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0);
    (void)SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}
} // namespace

void WorkerCheckpoint() {
    if (g_setup.abortCommitted.load()) {
        for (;;) Sleep(INFINITE);
    }
}

OutwardStep::OutwardStep() {
    g_outwardStep.store(true);
    if (g_setup.abortCommitted.load()) {
        g_outwardStep.store(false);
        WorkerCheckpoint();
    }
}

OutwardStep::~OutwardStep() { g_outwardStep.store(false); }

void AwaitWorkerQuiet(DWORD timeoutMs) {
    // Whether the worker was quiet in time changes nothing: the abort report follows.
    (void)WaitWithin(
        timeoutMs, [] { return !g_outwardStep.load(); }, [] { return GetTickCount64(); }, [] { Sleep(10); });
}

int ShowGuardedBox(HWND window, const wchar_t* text, UINT type) {
    WorkerCheckpoint();
    int answer = MessageBoxW(window, text, g_setup.caption, type);
    WorkerCheckpoint();
    return answer;
}

raii::unique_handle StartProgram(const wchar_t* application, const wchar_t* commandLine) {
    // A started program acts outside this process: never after the abort report.
    WorkerCheckpoint();
    OutwardStep step;
    wchar_t arguments[16];
    lstrcpynW(arguments, commandLine, 16); // CreateProcessW may write to its command line
    // The program's own folder, never the installer's: started from the Downloads folder, a DLL
    // the program loads by a name the system folders lack would be searched for there.
    wchar_t folder[MAX_PATH];
    if (!FolderOfFile(application, folder, MAX_PATH)) return {};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    EndStartedProgramsWithThisProcess(true);
    BOOL created = CreateProcessW(application, arguments, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                  folder, &startup, &process);
    if (!created) {
        EndStartedProgramsWithThisProcess(false);
        return {};
    }
    raii::unique_handle thread(process.hThread);
    g_notYetResumed.reset(process.hProcess);
    // An abort committed while the start took its time: the close handler may have gone on
    // without this step, so the program must not run. Taking the process back decides it:
    // when the close handler took it first, it has ended it already.
    bool aborted = g_setup.abortCommitted.load();
    raii::unique_handle started(g_notYetResumed.release());
    if (!started) return {};
    if (aborted) {
        TerminateProcess(started.get(), kEndedBeforeStart);
        return {};
    }
    ResumeThread(thread.get());
    EndStartedProgramsWithThisProcess(false);
    return started;
}

void EndProgramNotYetResumed() {
    raii::unique_handle process(g_notYetResumed.release());
    // Ending is asynchronous: the wait lets the program's file go before it is deleted.
    if (process && TerminateProcess(process.get(), kEndedBeforeStart))
        (void)WaitForSingleObject(process.get(), kEndWaitMs);
}

DWORD WaitHandlingSentMessages(HANDLE handle, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    DWORD count = handle ? 1 : 0;
    for (;;) {
        DWORD left = static_cast<DWORD>(BudgetLeft(timeoutMs, start, GetTickCount64()));
        DWORD result =
            MsgWaitForMultipleObjectsEx(count, handle ? &handle : nullptr, left, QS_SENDMESSAGE, 0);
        if (result != WAIT_OBJECT_0 + count) return result;
        // Looking at the queue handles what other threads sent; nothing posted is taken.
        MSG message;
        (void)PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

bool ProductRunning() {
    raii::unique_handle mutex(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"MORVELT"));
    return mutex || GetLastError() == ERROR_ACCESS_DENIED;
}
