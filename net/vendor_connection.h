#pragma once
// The connection every request to the vendor's web server uses: one WinHTTP session and
// one connection, opened fresh per request and closed in reverse order.
#include "base/raii.h"
#include "net/route_rules.h"

#ifndef MORVELT_VENDOR_HOST
#error "MORVELT_VENDOR_HOST comes from the build settings"
#endif

constexpr const wchar_t* kVendorHost = MORVELT_VENDOR_HOST;
constexpr const wchar_t* kDownloadHost = MORVELT_DOWNLOAD_HOST;

struct VendorRequest {
    // Declared in opening order, so the destructor closes request, connection, session.
    raii::unique_hinternet session;
    raii::unique_hinternet connection;
    raii::unique_hinternet request;
    VendorRoute route = VendorRoute::Default;
};

// Opens the session and the connection on the way that last reached the server (WinHTTP's own
// setting until one did). False when either fails (what was opened is closed by the owner).
[[nodiscard]] bool OpenVendorConnection(VendorRequest& r);

// Opens a TLS GET for the target, sends it and waits for the response. When the way cannot
// reach the server at all, the same target goes once more the other way (the user's Internet
// settings, or back), on a session and connection of that way.
enum class ExchangeResult { RequestFailed, SendFailed, Received };
[[nodiscard]] ExchangeResult SendVendorGet(VendorRequest& r, const wchar_t* target);
