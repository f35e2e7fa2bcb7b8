#include "net/user_proxy.h"

#include "base/raii.h"
#include "net/route_rules.h"

#include <atomic>
#include <iterator>

namespace {

struct Settings {
    bool autoDetect = false;
    raii::unique_global_text scriptUrl;
    raii::unique_global_text proxy;
    raii::unique_global_text bypass;
};
Settings g_settings;
INIT_ONCE g_settingsRead = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK ReadSettings(PINIT_ONCE, PVOID, PVOID*) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return TRUE; // nothing set, as far as we know
    g_settings.autoDetect = config.fAutoDetect != FALSE;
    g_settings.scriptUrl.reset(config.lpszAutoConfigUrl);
    g_settings.proxy.reset(config.lpszProxy);
    g_settings.bypass.reset(config.lpszProxyBypass);
    return TRUE;
}

const Settings& ReadOnce() {
    (void)InitOnceExecuteOnce(&g_settingsRead, ReadSettings, nullptr, nullptr);
    return g_settings;
}

bool Named(const raii::unique_global_text& text) { return text && text.get()[0] != L'\0'; }

struct Found {
    wchar_t servers[300]; // "host:port" of a script's answer: a host name is at most 255 units
    UserProxy proxy{};
    bool any = false;
};
Found g_found;
INIT_ONCE g_foundOnce = INIT_ONCE_STATIC_INIT;

struct Query {
    const wchar_t* agent;
    const wchar_t* url;
};

// Where the resolution reports its end. Static and its event never closed: a resolution given up
// at the bound may still finish, on WinHTTP's thread, after the asker has gone.
struct Resolution {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> succeeded{false};
};
Resolution g_resolution;

void CALLBACK OnResolved(HINTERNET, DWORD_PTR, DWORD status, LPVOID, DWORD) {
    if (status == WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE) g_resolution.succeeded = true;
    SetEvent(g_resolution.done);
}

void Use(const wchar_t* servers, const wchar_t* bypass) {
    g_found.proxy = {servers, bypass};
    g_found.any = true;
}

ScriptAnswer TakeAnswer(const WINHTTP_PROXY_RESULT& result) {
    if (result.cEntries == 0 || !result.pEntries) return ReadScriptAnswer(nullptr, nullptr, 0);
    const WINHTTP_PROXY_RESULT_ENTRY& entry = result.pEntries[0];
    ScriptEntry first{entry.fProxy != FALSE,
                      entry.ProxyScheme == INTERNET_SCHEME_HTTP || entry.ProxyScheme == INTERNET_SCHEME_HTTPS,
                      entry.pwszProxy, entry.ProxyPort};
    ScriptAnswer answer = ReadScriptAnswer(&first, g_found.servers, std::size(g_found.servers));
    if (answer == ScriptAnswer::Proxy) Use(g_found.servers, nullptr);
    return answer;
}

// Detection and the script through the resolver, which runs the script in the system's
// auto-proxy service and never in this elevated process: the script's address comes from the
// user's settings, which any program of the user can write. Where the system has no such
// resolver (before Windows 8) no script is run at all. Bounded as a whole, so a script host that
// does not answer, or a script that never returns, costs seconds, not the attempt.
ScriptAnswer AskScript(const Settings& s, const Query& q) {
    raii::unique_hinternet session(WinHttpOpen(q.agent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    if (!session || !g_resolution.done) return ScriptAnswer::None;
    (void)WinHttpSetTimeouts(session.get(), kBoundedResolveMs, kBoundedConnectMs, kBoundedConnectMs,
                             kBoundedConnectMs);
    if (WinHttpSetStatusCallback(session.get(), OnResolved,
                                 WINHTTP_CALLBACK_FLAG_REQUEST_ERROR |
                                     WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK)
        return ScriptAnswer::None;
    raii::unique_hinternet resolver;
    if (WinHttpCreateProxyResolver(session.get(), resolver.put()) != ERROR_SUCCESS) return ScriptAnswer::None;
    // The resolver never runs a script in the asking process; the flag forbids WinHTTP's
    // in-process fallback as well, should a system have one.
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY;
    if (s.autoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (Named(s.scriptUrl)) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = s.scriptUrl.get();
    }
    // A script host that asks for credentials is not answered: the named proxy is tried instead.
    options.fAutoLogonIfChallenged = FALSE;
    if (WinHttpGetProxyForUrlEx(resolver.get(), q.url, &options, 0) != ERROR_IO_PENDING ||
        WaitForSingleObject(g_resolution.done, kBoundedScriptMs) != WAIT_OBJECT_0 || !g_resolution.succeeded)
        return ScriptAnswer::None; // closing the resolver cancels what is still under way
    WINHTTP_PROXY_RESULT result{};
    if (WinHttpGetProxyResult(resolver.get(), &result) != ERROR_SUCCESS) return ScriptAnswer::None;
    ScriptAnswer answer = TakeAnswer(result);
    WinHttpFreeProxyResult(&result);
    return answer;
}

BOOL CALLBACK FindProxy(PINIT_ONCE, PVOID parameter, PVOID*) {
    const Settings& s = ReadOnce();
    const Query& q = *static_cast<const Query*>(parameter);
    if (s.autoDetect || Named(s.scriptUrl)) {
        ScriptAnswer answer = AskScript(s, q);
        // A script that says "DIRECT" means the way that already failed; the named proxy is for
        // when there is no script answer at all, as in the browser.
        if (answer != ScriptAnswer::None) return TRUE;
    }
    if (Named(s.proxy)) Use(s.proxy.get(), Named(s.bypass) ? s.bypass.get() : nullptr);
    return TRUE;
}

} // namespace

UserSettingsKind UserSettingsOffer() {
    const Settings& s = ReadOnce();
    if (Named(s.scriptUrl) || Named(s.proxy)) return UserSettingsKind::Named;
    return s.autoDetect ? UserSettingsKind::DetectionOnly : UserSettingsKind::Nothing;
}

const UserProxy* UserSettingsProxy(const wchar_t* agent, const wchar_t* url) {
    Query query{agent, url};
    (void)InitOnceExecuteOnce(&g_foundOnce, FindProxy, &query, nullptr);
    return g_found.any ? &g_found.proxy : nullptr;
}
