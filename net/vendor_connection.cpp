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
    const UserProxy* proxy = route == VendorRoute::UserSettings ? ProxyOfUserSettings() : nullptr;
    if (route == VendorRoute::UserSettings && !proxy) return false;
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

static_assert(kStatusProxyLogon == HTTP_STATUS_PROXY_AUTH_REQ);
static_assert(kSchemeNtlm == WINHTTP_AUTH_SCHEME_NTLM && kSchemeNegotiate == WINHTTP_AUTH_SCHEME_NEGOTIATE);

// The proxy's logon demand, answered with the user's own logon on this request only.
bool AnswerWithLogon(HINTERNET request, DWORD offered) {
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    return WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy) &&
           WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, LogonScheme(offered), nullptr, nullptr,
                                 nullptr);
}

Try SendOnce(VendorRequest& r, const wchar_t* target, TryBounds bounds) {
    r.request.reset(WinHttpOpenRequest(r.connection.get(), L"GET", target, nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!r.request) return Try::RequestFailed;
    HINTERNET request = r.request.get();
    if (bounds.bounded) {
        (void)WinHttpSetTimeouts(request, bounds.resolveMs, bounds.connectMs, kDefaultSendMs,
                                 kDefaultReceiveMs);
        DWORD addresses = kBoundedAddresses;
        (void)WinHttpSetOption(request, WINHTTP_OPTION_CONNECT_RETRIES, &addresses, sizeof addresses);
    }
    // The same request again after the logon: the same target, so the same query number.
    for (bool logonSent = false;; logonSent = true) {
        if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
            return NeverReachedServer(GetLastError()) ? Try::NotReached : Try::SendFailed;
        if (!WinHttpReceiveResponse(request, nullptr)) return Try::SendFailed;
        DWORD status = 0, size = sizeof status, offered = 0, first = 0, authTarget = 0;
        (void)WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
        if (status == kStatusProxyLogon)
            (void)WinHttpQueryAuthSchemes(request, &offered, &first, &authTarget);
        switch (ReadProxyDemand(status, offered, logonSent)) {
        case ProxyDemand::None: return Try::Received;
        case ProxyDemand::NotReached: return Try::NotReached;
        case ProxyDemand::AnswerWithLogon:
            if (!AnswerWithLogon(request, offered)) return Try::NotReached;
        }
    }
}
} // namespace

bool OpenVendorConnection(VendorRequest& r) { return OpenOn(r, FirstRoute(g_keptRoute.load())); }

ExchangeResult SendVendorGet(VendorRequest& r, const wchar_t* target) {
    Try result = SendOnce(r, target, FirstTryBounds(g_keptRoute.load(), r.route, UserSettingsOffer()));
    // The same target, and so the same query number: the server saw nothing of the first try.
    if (result == Try::NotReached && OpenOn(r, OtherRoute(r.route))) result = SendOnce(r, target, {});
    switch (result) {
    case Try::Received: g_keptRoute.store(Keep(r.route)); return ExchangeResult::Received;
    case Try::RequestFailed: return ExchangeResult::RequestFailed;
    default: return ExchangeResult::SendFailed;
    }
}
