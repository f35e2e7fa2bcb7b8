#pragma once
// The process-wide state every subsystem shares. Start-up writes the run-mode flags, texts
// and handles before any other thread starts; the atomics are the ones the install worker
// writes while the user-interface thread reads them.
#include <windows.h>
#include <atomic>

#include "base/raii.h"

class DownloadStatus;

struct SetupState {
    HINSTANCE moduleInstance = nullptr;
    wchar_t caption[100] = {};
    wchar_t className[100] = {};

    bool continueAfterRestart = false;
    bool autoInstall = false;
    bool autoLaunch = false;
    std::atomic<bool> restartPending{false};
    std::atomic<bool> restartRequired{false};

    wchar_t packagePath[4096] = {};
    const wchar_t* sessionId = nullptr;

    HWND mainWindow = nullptr;
    HWND installButton = nullptr;
    HWND progressBar = nullptr;
    HWND tutorialLink = nullptr;
    HWND privacyLink = nullptr;
    HWND licenceLink = nullptr;

    // Replaced by the worker at the start of each attempt. The old instance is deleted on
    // the user-interface thread (kRetireStatusMessage), so the painter never reads a freed one.
    raii::handover<DownloadStatus> status;
    // The install attempt's thread: started and ended by the user-interface thread.
    raii::unique_worker worker;
    std::atomic<DWORD> childProcessId{0};
    // The package file held open against replacement (see package_hold.h); whoever takes it
    // out closes it.
    raii::shared_unique_handle heldPackage;

    // Set by the close handler once the user has confirmed an abort: from then on the
    // worker shows, reports and starts nothing (it parks at its next step and is ended).
    std::atomic<bool> abortCommitted{false};
};

extern SetupState g_setup;

// Posted to the main window with the retired DownloadStatus in lParam.
constexpr UINT kRetireStatusMessage = WM_APP + 1;
