// httpget: fetches one HTTPS resource the way the installer does, to prove the test prefix's
// TLS set-up (which CA it trusts) independently of the installer.
//   httpget winhttp <host> <target>   WinHTTP GET on port 443, TLS
//   httpget urlmon <url> <file>       URLDownloadToFileW into a file
// Prints one JSON object; exit code 0 when the request got a response (or the file).
#include <windows.h>
#include <urlmon.h>
#include <winhttp.h>

#include <cstdio>
#include <cwchar>

#include "base/raii.h"

namespace {

int WinHttpGet(const wchar_t* host, const wchar_t* target) {
    raii::unique_hinternet session(WinHttpOpen(L"MORVELT E2E httpget", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        std::printf("{\"ok\":false,\"step\":\"open\",\"error\":%lu}\n", GetLastError());
        return 1;
    }
    raii::unique_hinternet connection(WinHttpConnect(session.get(), host, 443, 0));
    if (!connection) {
        std::printf("{\"ok\":false,\"step\":\"connect\",\"error\":%lu}\n", GetLastError());
        return 1;
    }
    raii::unique_hinternet request(WinHttpOpenRequest(connection.get(), L"GET", target, nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                      WINHTTP_FLAG_SECURE));
    if (!request) {
        std::printf("{\"ok\":false,\"step\":\"request\",\"error\":%lu}\n", GetLastError());
        return 1;
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0)) {
        std::printf("{\"ok\":false,\"step\":\"send\",\"error\":%lu}\n", GetLastError());
        return 1;
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) {
        std::printf("{\"ok\":false,\"step\":\"receive\",\"error\":%lu}\n", GetLastError());
        return 1;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    unsigned long total = 0;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer, sizeof(buffer), &got) || got == 0) break;
        total += got;
    }
    std::printf("{\"ok\":true,\"status\":%lu,\"bytes\":%lu}\n", status, total);
    return 0;
}

int UrlmonGet(const wchar_t* url, const wchar_t* file) {
    HRESULT hr = URLDownloadToFileW(nullptr, url, file, 0, nullptr);
    std::printf("{\"ok\":%s,\"hr\":%ld}\n", hr == S_OK ? "true" : "false", static_cast<long>(hr));
    return hr == S_OK ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wcscmp(argv[1], L"winhttp") == 0) return WinHttpGet(argv[2], argv[3]);
    if (argc == 4 && std::wcscmp(argv[1], L"urlmon") == 0) return UrlmonGet(argv[2], argv[3]);
    std::fprintf(stderr, "usage: httpget winhttp <host> <target> | httpget urlmon <url> <file>\n");
    return 2;
}
