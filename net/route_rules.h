#pragma once
// Which way an exchange with the vendor's server goes. The first way is WinHTTP's own proxy
// setting; the user's Internet settings (the way the download service and the browser go) are
// tried only when that way cannot reach the server at all, and whichever way got through is kept
// for the rest of the process.
#include <cstddef>
#include <cstdint>

enum class VendorRoute : uint8_t { Default, UserSettings };
enum class KeptRoute : uint8_t { None, Default, UserSettings };

// While no way is known to work and the user has named a proxy or a script in the settings, the
// default way's name resolution and connection get these bounds instead of WinHTTP's (none, and
// 60 s per address), so the user does not wait on "Connecting..." for a way that leads nowhere.
// Automatic detection alone, on by default everywhere, keeps WinHTTP's own time-outs.
constexpr int kBoundedResolveMs = 10000;
constexpr int kBoundedConnectMs = 10000;
// The whole of finding a script's answer (detection, the script's download and its run).
constexpr int kBoundedScriptMs = 15000;
// WinHTTP's own send and receive time-outs, restated because one call sets all four.
constexpr int kDefaultSendMs = 30000;
constexpr int kDefaultReceiveMs = 30000;

// The way to try first: the kept one, else the default.
[[nodiscard]] VendorRoute FirstRoute(KeptRoute kept);
[[nodiscard]] VendorRoute OtherRoute(VendorRoute route);
[[nodiscard]] KeptRoute Keep(VendorRoute route);

// True when WinHttpSendRequest failed before the server could see the request: the name did
// not resolve, the connection was refused or timed out. An answer, a refused certificate or a
// failure after the request went out is never tried another way.
[[nodiscard]] bool NeverReachedServer(uint32_t sendError);

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
