#pragma once
// The user's Internet settings: the way the browser and the platform's download service reach
// the vendor. Read once per process; the proxy they give is found once too, since automatic
// detection and a script's download can take seconds.
#include "net/route_rules.h"

#include <windows.h>

struct UserProxy {
    const wchar_t* servers; // WinHTTP's proxy list: "host:port", or one per scheme
    const wchar_t* bypass;  // nullptr: none
};

// Whether the settings name a proxy or a script, have only automatic detection on, or neither.
[[nodiscard]] UserSettingsKind UserSettingsOffer();

// The proxy the settings give for url: a script's or detection's answer first, where the
// system's resolver service gives one, the named proxy when neither does. nullptr when they give
// none (nothing set, "DIRECT", nothing found).
[[nodiscard]] const UserProxy* UserSettingsProxy(const wchar_t* agent, const wchar_t* url);
