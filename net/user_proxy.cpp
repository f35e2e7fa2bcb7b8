#include "net/user_proxy.h"

#include "base/raii.h"
#include "net/route_rules.h"

#include <utility>

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
    raii::unique_global_text servers;
    raii::unique_global_text bypass;
    UserProxy proxy{};
    bool any = false;
};
Found g_found;
INIT_ONCE g_foundOnce = INIT_ONCE_STATIC_INIT;

struct Query {
    const wchar_t* agent;
    const wchar_t* url;
};

enum class ScriptAnswer { Proxy, Direct, None };

// Detection and the script: on a session of their own, with bounds, so a script host that does not
// answer costs seconds, not minutes.
ScriptAnswer AskScript(const Settings& s, const Query& q) {
    raii::unique_hinternet session(WinHttpOpen(q.agent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                               WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return ScriptAnswer::None;
    (void)WinHttpSetTimeouts(session.get(), kBoundedResolveMs, kBoundedConnectMs, kBoundedConnectMs,
                             kBoundedConnectMs);
    WINHTTP_AUTOPROXY_OPTIONS options{};
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
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(session.get(), q.url, &options, &info)) return ScriptAnswer::None;
    raii::unique_global_text servers(info.lpszProxy);
    raii::unique_global_text bypass(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !Named(servers)) return ScriptAnswer::Direct;
    g_found.servers = std::move(servers);
    g_found.bypass = std::move(bypass);
    g_found.proxy = {g_found.servers.get(), Named(g_found.bypass) ? g_found.bypass.get() : nullptr};
    g_found.any = true;
    return ScriptAnswer::Proxy;
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
    if (Named(s.proxy)) {
        g_found.proxy = {s.proxy.get(), Named(s.bypass) ? s.bypass.get() : nullptr};
        g_found.any = true;
    }
    return TRUE;
}

} // namespace

bool UserSettingsNameAProxy() {
    const Settings& s = ReadOnce();
    return Named(s.scriptUrl) || Named(s.proxy);
}

const UserProxy* UserSettingsProxy(const wchar_t* agent, const wchar_t* url) {
    Query query{agent, url};
    (void)InitOnceExecuteOnce(&g_foundOnce, FindProxy, &query, nullptr);
    return g_found.any ? &g_found.proxy : nullptr;
}
