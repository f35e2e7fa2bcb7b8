#pragma once
#include <windows.h>

// Thread procedure of one install attempt; the parameter is the main window.
DWORD WINAPI InstallWorker(LPVOID mainWindow);

// Called by the worker before every step the user or the server could notice. Once an
// abort is confirmed the worker stops here for good, holding nothing, until it is ended.
void WorkerCheckpoint();

// Called by the close handler right after it has committed an abort. If the worker is in the
// middle of a request to a server or of starting the package (begun before the abort), this
// waits for that to end, at most timeoutMs, so that nothing of the worker's reaches the
// server after the abort report. Answers whether the worker was quiet by then.
bool AwaitWorkerQuiet(DWORD timeoutMs);

// Enumeration callback: finds the package's own setup window.
BOOL CALLBACK FindChildSetupWindow(HWND window, LPARAM resultSlot);

// Runs a program with the given whole command line, answering its process (or none).
[[nodiscard]] HANDLE StartProgram(const wchar_t* application, const wchar_t* commandLine);

// Whether a copy of the product runs: its mutex exists. One that exists but cannot be opened
// (the product runs under another account or integrity level) counts as running.
[[nodiscard]] bool ProductRunning();
