#include "session/outward_steps.h"

#include "base/setup_state.h"
#include "session/worker_rules.h"

#include <atomic>

namespace {
// True while the worker is inside an outward step.
std::atomic<bool> g_outwardStep{false};
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

raii::unique_handle StartProgram(const wchar_t* application, const wchar_t* commandLine) {
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
        return {};
    raii::unique_handle thread(process.hThread); // not needed: only the process is waited for
    return raii::unique_handle(process.hProcess);
}

bool ProductRunning() {
    raii::unique_handle mutex(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"MORVELT"));
    return mutex || GetLastError() == ERROR_ACCESS_DENIED;
}
