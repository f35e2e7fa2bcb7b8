#include "app/switches_rules.h"

#include <cwchar>

bool HasSwitch(const wchar_t* arguments, const wchar_t* sw) {
    return arguments != nullptr && std::wcsstr(arguments, sw) != nullptr;
}

RunModes DecideRunModes(const wchar_t* arguments, bool resumeScriptPresent) {
    RunModes m;
    m.continueAfterRestart = HasSwitch(arguments, L"/c");
    bool scriptPresent = resumeScriptPresent;
    if (m.continueAfterRestart && scriptPresent) {
        m.deleteResumeScript = true;
        scriptPresent = false;
    }
    m.restartPending = scriptPresent;
    m.autoInstall = HasSwitch(arguments, L"/i") && !m.restartPending;
    m.autoLaunch = HasSwitch(arguments, L"/l") && !m.restartPending;
    if (m.continueAfterRestart) m.autoInstall = true;
    return m;
}
