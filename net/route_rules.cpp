#include "net/route_rules.h"

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
