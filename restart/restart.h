#pragma once
#include <windows.h>

// Path of "MORVELT_SETUP.bat" in the all-users Startup folder (260 units).
[[nodiscard]] bool ResumeScriptPath(wchar_t* path);
// Writes the script whole under a draft name beside it; PlaceResumeScript then gives it the
// script's name, unless a script is there already (one left by an earlier cycle is never
// replaced). Nothing can run an unfinished script, and an abort between the two leaves none.
void WriteResumeScriptDraft(const char* installerPath, const char* resumeArguments);
void PlaceResumeScript();
// Deletes the script and its draft (or schedules them for deletion at the next restart).
void DeleteResumeScript();

// The installer's own path as ANSI text for the script (260 bytes): GetModuleFileNameA's
// answer, or the short form when only that reads back right in the command processor.
void InstallerPathForScript(char* path);

// Enables the shutdown privilege; false when the user may not restart the machine (then
// nothing is asked).
[[nodiscard]] bool MayRestart();

// Restarts the machine now, forcing programs to close.
void RestartNow();

// Asks the given question and restarts on Yes (start-up's question; the worker asks through
// its own guarded box).
void RequestRestart(const wchar_t* question);
