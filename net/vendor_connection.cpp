#include "net/vendor_connection.h"

#include "base/format_bounded.h"
#include "net/download_rules.h"
#include "net/user_proxy.h"

#include <atomic>

namespace {
constexpr const wchar_t* kUserAgent = L"MORVELT WEB INSTALLER/1.0";

// The way that last reached the server, for every later exchange of the process.
std::atomic<KeptRoute> g_keptRoute{KeptRoute::None};

// Windows 7's WinHTTP offers TLS 1.2 only when asked, and a vendor server may speak nothing
// older. Asking for 1.2 and 1.3 only never lowers the floor the system sets; a system that knows
// no 1.3 refuses the pair, and then gets 1.2 alone.
void AskForCurrentTls(HINTERNET session) {
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) return;
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    (void)WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
}

const UserProxy* ProxyOfUserSettings() {
    wchar_t url[kUrlUnits];
    if (FormatBounded(url, kUrlUnits, L"https://%s/", kVendorHost) <= 0) return nullptr;
    return UserSettingsProxy(kUserAgent, url);
}

bool OpenOn(VendorRequest& r, VendorRoute route) {
    const UserProxy* proxy = nullptr;
    if (route == VendorRoute::UserSettings && !(proxy = ProxyOfUserSettings())) return false;
    r.request.reset();
    r.connection.reset();
    r.route = route;
    if (proxy)
        r.session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy->servers,
                                    proxy->bypass ? proxy->bypass : WINHTTP_NO_PROXY_BYPASS, 0));
    else
        r.session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0));
    if (!r.session) return false;
    AskForCurrentTls(r.session.get());
    r.connection.reset(WinHttpConnect(r.session.get(), kVendorHost, INTERNET_DEFAULT_HTTPS_PORT, 0));
    return static_cast<bool>(r.connection);
}

enum class Try { RequestFailed, SendFailed, NotReached, Received };

Try SendOnce(VendorRequest& r, const wchar_t* target, bool bounded) {
    r.request.reset(WinHttpOpenRequest(r.connection.get(), L"GET", target, nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!r.request) return Try::RequestFailed;
    if (bounded)
        (void)WinHttpSetTimeouts(r.request.get(), kBoundedResolveMs, kBoundedConnectMs, kDefaultSendMs,
                                 kDefaultReceiveMs);
    if (!WinHttpSendRequest(r.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0))
        return NeverReachedServer(GetLastError()) ? Try::NotReached : Try::SendFailed;
    if (!WinHttpReceiveResponse(r.request.get(), nullptr)) return Try::SendFailed;
    return Try::Received;
}
} // namespace

bool OpenVendorConnection(VendorRequest& r) { return OpenOn(r, FirstRoute(g_keptRoute.load())); }

ExchangeResult SendVendorGet(VendorRequest& r, const wchar_t* target) {
    // Only while no way is known to work, and only where the user named another way.
    bool bounded =
        g_keptRoute.load() == KeptRoute::None && r.route == VendorRoute::Default && UserSettingsNameAProxy();
    Try result = SendOnce(r, target, bounded);
    // The same target, and so the same query number: the server saw nothing of the first try.
    if (result == Try::NotReached && OpenOn(r, OtherRoute(r.route))) result = SendOnce(r, target, false);
    switch (result) {
    case Try::Received: g_keptRoute.store(Keep(r.route)); return ExchangeResult::Received;
    case Try::RequestFailed: return ExchangeResult::RequestFailed;
    default: return ExchangeResult::SendFailed;
    }
}
