#include "net/vendor_connection.h"

namespace {
constexpr const wchar_t* kUserAgent = L"MORVELT WEB INSTALLER/1.0";

// Windows 7's WinHTTP offers TLS 1.2 only when asked, and a vendor server may speak nothing
// older. Asking for 1.2 and 1.3 only never lowers the floor the system sets; a system that knows
// no 1.3 refuses the pair, and then gets 1.2 alone.
void AskForCurrentTls(HINTERNET session) {
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) return;
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    (void)WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
}
} // namespace

bool OpenVendorConnection(VendorRequest& r) {
    r.session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0));
    if (!r.session) return false;
    AskForCurrentTls(r.session.get());
    r.connection.reset(WinHttpConnect(r.session.get(), kVendorHost, INTERNET_DEFAULT_HTTPS_PORT, 0));
    return static_cast<bool>(r.connection);
}

ExchangeResult SendVendorGet(VendorRequest& r, const wchar_t* target) {
    r.request.reset(WinHttpOpenRequest(r.connection.get(), L"GET", target, nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!r.request) return ExchangeResult::RequestFailed;
    if (!WinHttpSendRequest(r.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0))
        return ExchangeResult::SendFailed;
    if (!WinHttpReceiveResponse(r.request.get(), nullptr)) return ExchangeResult::SendFailed;
    return ExchangeResult::Received;
}
