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

// Runs a program with the given whole command line, answering its process (or none).
[[nodiscard]] raii::unique_handle StartProgram(const wchar_t* application, const wchar_t* commandLine);

// Whether a copy of the product runs: its mutex exists. One that exists but cannot be opened
// (the product runs under another account or integrity level) counts as running.
[[nodiscard]] bool ProductRunning();
