#include "net/route_rules.h"

#include "base/format_bounded.h"

namespace {
// WinHTTP's error numbers, without <windows.h>.
constexpr uint32_t kWinHttpTimeout = 12002;
constexpr uint32_t kWinHttpNameNotResolved = 12007;
constexpr uint32_t kWinHttpCannotConnect = 12029;
} // namespace

VendorRoute FirstRoute(KeptRoute kept) {
    return kept == KeptRoute::UserSettings ? VendorRoute::UserSettings : VendorRoute::Default;
}

VendorRoute OtherRoute(VendorRoute route) {
    return route == VendorRoute::Default ? VendorRoute::UserSettings : VendorRoute::Default;
}

KeptRoute Keep(VendorRoute route) {
    return route == VendorRoute::Default ? KeptRoute::Default : KeptRoute::UserSettings;
}

bool NeverReachedServer(uint32_t sendError) {
    return sendError == kWinHttpNameNotResolved || sendError == kWinHttpCannotConnect ||
           sendError == kWinHttpTimeout;
}

TryBounds FirstTryBounds(KeptRoute kept, VendorRoute route, UserSettingsKind settings) {
    if (kept != KeptRoute::None || route != VendorRoute::Default || settings == UserSettingsKind::Nothing)
        return {false, 0, 0};
    return {true, settings == UserSettingsKind::Named ? kBoundedResolveMs : 0, kBoundedConnectMs};
}

uint32_t LogonScheme(uint32_t offeredSchemes) {
    if (offeredSchemes & kSchemeNegotiate) return kSchemeNegotiate;
    return offeredSchemes & kSchemeNtlm;
}

ProxyDemand ReadProxyDemand(uint32_t status, uint32_t offeredSchemes, bool logonSent) {
    if (status != kStatusProxyLogon) return ProxyDemand::None;
    return logonSent || LogonScheme(offeredSchemes) == 0 ? ProxyDemand::NotReached
                                                         : ProxyDemand::AnswerWithLogon;
}

ScriptAnswer ReadScriptAnswer(const ScriptEntry* first, wchar_t* servers, size_t capacity) {
    if (!first) return ScriptAnswer::None;
    if (!first->proxy) return ScriptAnswer::Direct;
    if (!first->tunnelable || !first->host || first->host[0] == L'\0' ||
        FormatBounded(servers, capacity, L"%s:%u", first->host, static_cast<unsigned>(first->port)) < 0)
        return ScriptAnswer::None;
    return ScriptAnswer::Proxy;
}
