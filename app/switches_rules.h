#pragma once
// Run modes from the argument text and the presence of the resume script.

struct RunModes {
    bool continueAfterRestart = false;
    bool restartPending = false;
    bool autoInstall = false;
    bool autoLaunch = false;
    bool deleteResumeScript = false; // "/c" found the script of the previous cycle
};

// Case-sensitive substring search of the whole argument text, independent per switch.
bool HasSwitch(const wchar_t* arguments, const wchar_t* sw);

RunModes DecideRunModes(const wchar_t* arguments, bool resumeScriptPresent);
