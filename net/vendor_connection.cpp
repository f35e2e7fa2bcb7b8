#include "net/vendor_connection.h"

namespace {
constexpr const wchar_t* kUserAgent = L"MORVELT WEB INSTALLER/1.0";
}

bool OpenVendorConnection(VendorRequest& r) {
    r.session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0));
    if (!r.session) return false;
    r.connection.reset(WinHttpConnect(r.session.get(), kVendorHost, INTERNET_DEFAULT_HTTPS_PORT, 0));
    return static_cast<bool>(r.connection);
}

ExchangeResult SendVendorGet(VendorRequest& r, const wchar_t* target) {
    r.request.reset(WinHttpOpenRequest(r.connection.get(), L"GET", target, nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!r.request) return ExchangeResult::RequestFailed;
    if (!WinHttpSendRequest(r.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return ExchangeResult::SendFailed;
    if (!WinHttpReceiveResponse(r.request.get(), nullptr)) return ExchangeResult::SendFailed;
    return ExchangeResult::Received;
}
