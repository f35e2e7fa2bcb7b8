#pragma once
// The worker's abort checkpoint, and the steps whose effect lies outside this process (a
// request to a server, the start of a program), which an abort must never follow.
#include <windows.h>

#include "base/raii.h"

// Called by the worker before every step the user or the server could notice. Once an
// abort is confirmed the worker stops here for good, holding nothing, until it is ended.
void WorkerCheckpoint();

// Marks one outward step for as long as it lives. The worker sets it before it looks at the
// abort flag; the close handler sets the abort flag before it looks at this one. So either
// the worker sees the abort and never begins the step, or the close handler sees the step
// and waits for its end (AwaitWorkerQuiet).
class OutwardStep {
public:
    OutwardStep();
    ~OutwardStep();
    OutwardStep(const OutwardStep&) = delete;
    OutwardStep& operator=(const OutwardStep&) = delete;
};

// Called by the close handler right after it has committed an abort. If the worker is in the
// middle of an outward step (begun before the abort), this waits for that to end, at most
// timeoutMs, so that nothing of the worker's reaches the server after the abort report. The
// abort goes on either way.
void AwaitWorkerQuiet(DWORD timeoutMs);

// The worker's message box (owner the window, the caption as title): nothing is shown after an
// abort, and an answer given after one is never acted on.
int ShowGuardedBox(HWND window, const wchar_t* text, UINT type);

// Runs a program with the given whole command line, answering its process (or none). The
// program is created suspended and only resumed when no abort was committed meanwhile: on
// Windows a scanner may hold a fresh program's start for seconds.
[[nodiscard]] raii::unique_handle StartProgram(const wchar_t* application, const wchar_t* commandLine);

// Called by the close handler after an abort: a program the worker created but has not yet
// resumed (its start outlasted the wait for the worker) is ended before it ever runs.
void EndProgramNotYetResumed();

// Waits for the handle (or, with none, just for the time) while handling the messages other
// threads send to this one, so that a broadcast or a window change never waits on the worker.
// Answers as WaitForSingleObject would (with no handle, WAIT_TIMEOUT at the end).
DWORD WaitHandlingSentMessages(HANDLE handle, DWORD timeoutMs);

// Whether a copy of the product runs: its mutex exists. One that exists but cannot be opened
// (the product runs under another account or integrity level) counts as running.
[[nodiscard]] bool ProductRunning();
