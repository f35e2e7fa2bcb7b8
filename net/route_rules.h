#pragma once
// Which way an exchange with the vendor's server goes. The first way is WinHTTP's own proxy
// setting; the user's Internet settings (the way the download service and the browser go) are
// tried only when that way cannot reach the server at all, and whichever way got through is kept
// for the rest of the process.
#include <cstddef>
#include <cstdint>

enum class VendorRoute : uint8_t { Default, UserSettings };
enum class KeptRoute : uint8_t { None, Default, UserSettings };

// What the user's Internet settings may give besides the default way: a proxy or a script they
// name, or only automatic detection (on by default everywhere).
enum class UserSettingsKind : uint8_t { Nothing, DetectionOnly, Named };

// While no way is known to work and the settings may lead elsewhere, the default way's first
// try gets shorter bounds than WinHTTP's (no bound on the name, 60 s per address), so where an
// office drops direct connections unanswered the user's way is tried within seconds, not
// minutes. A connection that gets no answer for 5 s is lost wherever it is tried (TCP itself
// gives up after three unanswered SYNs); only two addresses are tried. The name lookup is bounded
// only where the user named a proxy or a script: with detection alone, usually a home network
// with nothing to fall back to, a slow name server still gets its time.
struct TryBounds {
    bool bounded;
    int resolveMs; // 0: WinHTTP's own (none)
    int connectMs;
};
constexpr int kBoundedResolveMs = 10000;
constexpr int kBoundedConnectMs = 5000;
constexpr unsigned kBoundedAddresses = 2;
// The whole of finding a script's answer (detection, the script's download and its run). It
// starts with the first bounded try, beside it, so the two overlap.
constexpr int kBoundedScriptMs = 15000;
// WinHTTP's own send and receive time-outs, restated because one call sets all four.
constexpr int kDefaultSendMs = 30000;
constexpr int kDefaultReceiveMs = 30000;

[[nodiscard]] TryBounds FirstTryBounds(KeptRoute kept, VendorRoute route, UserSettingsKind settings);

// The way to try first: the kept one, else the default.
[[nodiscard]] VendorRoute FirstRoute(KeptRoute kept);
[[nodiscard]] VendorRoute OtherRoute(VendorRoute route);
[[nodiscard]] KeptRoute Keep(VendorRoute route);

// True when WinHttpSendRequest failed before the server could see the request: the name did
// not resolve, the connection was refused or timed out. An answer, a refused certificate or a
// failure after the request went out is never tried another way.
[[nodiscard]] bool NeverReachedServer(uint32_t sendError);

// A proxy's 407 is never the vendor's answer: the vendor saw nothing. Where the proxy offers
// Negotiate or NTLM, the user's own logon answers it once, as the browser and the download service
// do. A password scheme (Basic, Digest) has no password to give, and a second 407 means the proxy
// refused this user's logon (asking again gets the same refusal): that way did not reach the
// server, and the other way, if any, is tried with the same target.
constexpr uint32_t kStatusProxyLogon = 407;
constexpr uint32_t kSchemeNtlm = 0x2; // WinHTTP's scheme bits
constexpr uint32_t kSchemeNegotiate = 0x10;
enum class ProxyDemand : uint8_t { None, AnswerWithLogon, NotReached };
[[nodiscard]] ProxyDemand ReadProxyDemand(uint32_t status, uint32_t offeredSchemes, bool logonSent);
// WinHTTP's scheme bit to answer with: Negotiate before NTLM, as the browser; 0 for neither.
[[nodiscard]] uint32_t LogonScheme(uint32_t offeredSchemes);

// The first entry of a proxy script's answer: "DIRECT", or a proxy of some scheme.
struct ScriptEntry {
    bool proxy;      // false: "DIRECT"
    bool tunnelable; // an HTTP or HTTPS proxy, which WinHTTP can open a tunnel through
    const wchar_t* host;
    uint16_t port;
};
enum class ScriptAnswer : uint8_t { Proxy, Direct, None };

// The first entry decides, as WinHTTP's own list would: "DIRECT" is the way that already failed;
// a proxy is written to servers as "host:port", whole or not at all. A proxy WinHTTP cannot use,
// or an empty answer (first is nullptr), is no answer, and the named proxy is tried instead.
[[nodiscard]] ScriptAnswer ReadScriptAnswer(const ScriptEntry* first, wchar_t* servers, size_t capacity);
