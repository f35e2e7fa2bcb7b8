#include "session/restart_path.h"

#include "base/setup_state.h"
#include "look/texts.h"
#include "restart/restart.h"
#include "restart/resume_script_rules.h"
#include "session/download_status.h"
#include "session/outward_steps.h"
#include "session/package_hold.h"

#include <atomic>

namespace {
// Set before the first write of the continuation; read by the close handler after an abort.
std::atomic<bool> g_continuationWritten{false};
} // namespace

void TakeRestartPath(HWND window) {
    char installerPath[kInstallerPathBytes];
    InstallerPathForScript(installerPath);
    // Not an outward step: reading a large package takes seconds, and an abort meanwhile must
    // not wait for it. The writes below then never begin.
    PackageDigest digest = DigestOfHeldPackage();
    {
        WorkerCheckpoint();
        OutwardStep step;
        g_continuationWritten = true;
        RecordPackageForRestart(digest);
        WriteResumeScriptDraft(installerPath, g_setup.autoLaunch ? "/c /l" : "/c");
    }
    {
        // An abort during a slow write (a scanner holding the file) parks the worker here, and
        // the draft never becomes the script.
        WorkerCheckpoint();
        OutwardStep step;
        PlaceResumeScript();
    }
    WorkerCheckpoint();
    EnterRestartPending();
    AskToRestart(window, text::kRestartQuestion);
}

void AskToRestart(HWND window, const wchar_t* question) {
    if (!MayRestart()) return;
    if (ShowGuardedBox(window, question, MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    OutwardStep step; // checks for an abort first
    RestartNow();
}

void UndoRestartPath() {
    if (!g_continuationWritten.load()) return;
    DeleteResumeScript();
    (void)TakeRecordedPackage();
}
