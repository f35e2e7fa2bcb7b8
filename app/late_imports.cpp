// The imports of the DLLs the installer needs only once its window is up: the download service
// (urlmon), WinHTTP, COM (ole32, oleaut32), UUIDs (rpcrt4) and the package's signature check
// (wintrust, crypt32). Loading them with the program would
// put them, and the DLLs they pull in, before the first paint. Instead this file defines the very
// symbols the import libraries would: each stub loads its DLL at the first call, from the system
// folder only, and forwards. The rest of the program calls these functions as usual.
//
// A DLL or function that cannot be found makes that call fail the way the function reports
// failure; it never ends the process.
#include "app/late_imports.h"

#include <objbase.h>
#include <oleauto.h>
#include <rpc.h>
#include <urlmon.h>
#include <winhttp.h>
#include <wintrust.h>
#include <softpub.h>

#include <atomic>
#include <cwchar>

HMODULE LoadFromSystemFolder(const wchar_t* name) {
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    // Windows 7 without KB2533623 does not know the flag: name the system folder in full.
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    size_t nameLength = std::wcslen(name);
    if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
    path[length] = L'\\';
    std::wmemcpy(path + length + 1, name, nameLength + 1);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

namespace {

// What the network DLLs load by name later (certificates, TLS, addresses, names) through delay-load
// imports, which Wine's loader searches for in the program's folder whatever the default directories
// say (seen: crypt32 and secur32 planted there were taken). Loaded from the system folder first,
// they are found by their names. WinHTTP needs them all for its first request anyway.
constexpr const wchar_t* kNetworkDelayLoads[] = {L"crypt32.dll", L"secur32.dll", L"iphlpapi.dll",
                                                 L"dnsapi.dll", nullptr};

struct LateDll {
    const wchar_t* name;
    const wchar_t* const* loadFirst = nullptr; // from the system folder, before the DLL itself
    std::atomic<HMODULE> module{nullptr};
};

LateDll urlmonDll{L"urlmon.dll", kNetworkDelayLoads};
LateDll winHttpDll{L"winhttp.dll", kNetworkDelayLoads};
LateDll ole32Dll{L"ole32.dll"};
LateDll oleAut32Dll{L"oleaut32.dll"};
LateDll rpcRt4Dll{L"rpcrt4.dll"};
LateDll winTrustDll{L"wintrust.dll", kNetworkDelayLoads};
LateDll crypt32Dll{L"crypt32.dll"};

// The function's address, loading its DLL on the first call of any of its functions; nullptr
// when either is missing (a later call tries again). Two threads racing here both load the
// DLL, which only adds a reference; it is never freed.
template <typename Fn>
Fn Find(LateDll& dll, std::atomic<Fn>& cached, const char* function) {
    Fn fn = cached.load(std::memory_order_acquire);
    if (fn) return fn;
    HMODULE module = dll.module.load(std::memory_order_acquire);
    if (!module) {
        for (const wchar_t* const* first = dll.loadFirst; first && *first; ++first)
            (void)LoadFromSystemFolder(*first);
        module = LoadFromSystemFolder(dll.name);
        if (!module) return nullptr;
        dll.module.store(module, std::memory_order_release);
    }
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, function)));
    if (fn) cached.store(fn, std::memory_order_release);
    return fn;
}

#define LATE_FIND(dll, name)                                                                                 \
    static std::atomic<decltype(&::name)> cached{nullptr};                                                   \
    decltype(&::name) fn = Find(dll, cached, #name)

} // namespace

// urlmon and WinHTTP: the headers declare these without dllimport, so the callers name the
// functions themselves.

HRESULT WINAPI URLDownloadToFileW(LPUNKNOWN caller, LPCWSTR url, LPCWSTR file, DWORD reserved,
                                  LPBINDSTATUSCALLBACK callback) {
    LATE_FIND(urlmonDll, URLDownloadToFileW);
    return fn ? fn(caller, url, file, reserved, callback) : E_FAIL;
}

HINTERNET WINAPI WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
    LATE_FIND(winHttpDll, WinHttpOpen);
    return fn ? fn(agent, accessType, proxy, bypass, flags) : nullptr;
}

HINTERNET WINAPI WinHttpConnect(HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved) {
    LATE_FIND(winHttpDll, WinHttpConnect);
    return fn ? fn(session, server, port, reserved) : nullptr;
}

HINTERNET WINAPI WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version,
                                    LPCWSTR referrer, LPCWSTR* types, DWORD flags) {
    LATE_FIND(winHttpDll, WinHttpOpenRequest);
    return fn ? fn(connection, verb, object, version, referrer, types, flags) : nullptr;
}

BOOL WINAPI WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
    LATE_FIND(winHttpDll, WinHttpSetOption);
    return fn ? fn(handle, option, buffer, length) : FALSE;
}

BOOL WINAPI WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                               DWORD optionalLength, DWORD totalLength, DWORD_PTR context) {
    LATE_FIND(winHttpDll, WinHttpSendRequest);
    return fn ? fn(request, headers, headersLength, optional, optionalLength, totalLength, context) : FALSE;
}

BOOL WINAPI WinHttpReceiveResponse(HINTERNET request, LPVOID reserved) {
    LATE_FIND(winHttpDll, WinHttpReceiveResponse);
    return fn ? fn(request, reserved) : FALSE;
}

BOOL WINAPI WinHttpQueryHeaders(HINTERNET request, DWORD level, LPCWSTR name, LPVOID buffer, LPDWORD length,
                                LPDWORD index) {
    LATE_FIND(winHttpDll, WinHttpQueryHeaders);
    return fn ? fn(request, level, name, buffer, length, index) : FALSE;
}

BOOL WINAPI WinHttpQueryAuthSchemes(HINTERNET request, LPDWORD supported, LPDWORD first, LPDWORD target) {
    LATE_FIND(winHttpDll, WinHttpQueryAuthSchemes);
    return fn ? fn(request, supported, first, target) : FALSE;
}

BOOL WINAPI WinHttpSetCredentials(HINTERNET request, DWORD target, DWORD scheme, LPCWSTR name,
                                  LPCWSTR password, LPVOID reserved) {
    LATE_FIND(winHttpDll, WinHttpSetCredentials);
    return fn ? fn(request, target, scheme, name, password, reserved) : FALSE;
}

BOOL WINAPI WinHttpQueryDataAvailable(HINTERNET request, LPDWORD available) {
    LATE_FIND(winHttpDll, WinHttpQueryDataAvailable);
    return fn ? fn(request, available) : FALSE;
}

BOOL WINAPI WinHttpReadData(HINTERNET request, LPVOID buffer, DWORD toRead, LPDWORD read) {
    LATE_FIND(winHttpDll, WinHttpReadData);
    return fn ? fn(request, buffer, toRead, read) : FALSE;
}

BOOL WINAPI WinHttpSetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive) {
    LATE_FIND(winHttpDll, WinHttpSetTimeouts);
    return fn ? fn(handle, resolve, connect, send, receive) : FALSE;
}

BOOL WINAPI WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* config) {
    LATE_FIND(winHttpDll, WinHttpGetIEProxyConfigForCurrentUser);
    return fn ? fn(config) : FALSE;
}

WINHTTP_STATUS_CALLBACK WINAPI WinHttpSetStatusCallback(HINTERNET handle, WINHTTP_STATUS_CALLBACK callback,
                                                        DWORD notifications, DWORD_PTR reserved) {
    LATE_FIND(winHttpDll, WinHttpSetStatusCallback);
    return fn ? fn(handle, callback, notifications, reserved) : WINHTTP_INVALID_STATUS_CALLBACK;
}

// The resolver is missing before Windows 8: its calls then answer as an unusable handle would.
DWORD WINAPI WinHttpCreateProxyResolver(HINTERNET session, HINTERNET* resolver) {
    *resolver = nullptr;
    LATE_FIND(winHttpDll, WinHttpCreateProxyResolver);
    return fn ? fn(session, resolver) : ERROR_PROC_NOT_FOUND;
}

DWORD WINAPI WinHttpGetProxyForUrlEx(HINTERNET resolver, PCWSTR url, WINHTTP_AUTOPROXY_OPTIONS* options,
                                     DWORD_PTR context) {
    LATE_FIND(winHttpDll, WinHttpGetProxyForUrlEx);
    return fn ? fn(resolver, url, options, context) : ERROR_PROC_NOT_FOUND;
}

DWORD WINAPI WinHttpGetProxyResult(HINTERNET resolver, WINHTTP_PROXY_RESULT* result) {
    LATE_FIND(winHttpDll, WinHttpGetProxyResult);
    return fn ? fn(resolver, result) : ERROR_PROC_NOT_FOUND;
}

VOID WINAPI WinHttpFreeProxyResult(WINHTTP_PROXY_RESULT* result) {
    LATE_FIND(winHttpDll, WinHttpFreeProxyResult);
    if (fn) fn(result);
}

BOOL WINAPI WinHttpCloseHandle(HINTERNET handle) {
    LATE_FIND(winHttpDll, WinHttpCloseHandle);
    return fn ? fn(handle) : FALSE;
}

// The trust check: declared without dllimport as well.

LONG WINAPI WinVerifyTrust(HWND window, GUID* action, LPVOID data) {
    LATE_FIND(winTrustDll, WinVerifyTrust);
    return fn ? fn(window, action, data) : TRUST_E_PROVIDER_UNKNOWN;
}

CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE state) {
    LATE_FIND(winTrustDll, WTHelperProvDataFromStateData);
    return fn ? fn(state) : nullptr;
}

CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA* data, DWORD signer,
                                                           WINBOOL counter, DWORD counterSigner) {
    LATE_FIND(winTrustDll, WTHelperGetProvSignerFromChain);
    return fn ? fn(data, signer, counter, counterSigner) : nullptr;
}

// COM, automation, UUIDs and certificate names: the headers declare these dllimport, so the callers read the
// address from the import slot "__imp__<name>@<argument bytes>"; these slots point at the stubs.
namespace {

HRESULT WINAPI LateCoInitializeEx(LPVOID reserved, DWORD model) {
    LATE_FIND(ole32Dll, CoInitializeEx);
    return fn ? fn(reserved, model) : E_FAIL;
}

HRESULT WINAPI LateCoCreateInstance(REFCLSID cls, LPUNKNOWN outer, DWORD context, REFIID iid,
                                    LPVOID* object) {
    LATE_FIND(ole32Dll, CoCreateInstance);
    if (fn) return fn(cls, outer, context, iid, object);
    if (object) *object = nullptr;
    return E_FAIL;
}

BSTR WINAPI LateSysAllocString(const OLECHAR* text) {
    LATE_FIND(oleAut32Dll, SysAllocString);
    return fn ? fn(text) : nullptr;
}

void WINAPI LateSysFreeString(BSTR text) {
    LATE_FIND(oleAut32Dll, SysFreeString);
    if (fn) fn(text);
}

void WINAPI LateVariantInit(VARIANTARG* variant) {
    LATE_FIND(oleAut32Dll, VariantInit);
    if (fn)
        fn(variant);
    else
        V_VT(variant) = VT_EMPTY; // what VariantInit itself does, so clearing it later is safe
}

HRESULT WINAPI LateVariantClear(VARIANTARG* variant) {
    LATE_FIND(oleAut32Dll, VariantClear);
    return fn ? fn(variant) : E_FAIL;
}

RPC_STATUS RPC_ENTRY LateUuidCreate(UUID* uuid) {
    LATE_FIND(rpcRt4Dll, UuidCreate);
    return fn ? fn(uuid) : RPC_S_CALL_FAILED;
}

BOOL WINAPI LateCryptDecodeObjectEx(DWORD encoding, LPCSTR type, const BYTE* encoded, DWORD encodedBytes,
                                    DWORD flags, PCRYPT_DECODE_PARA parameters, void* decoded,
                                    DWORD* decodedBytes) {
    LATE_FIND(crypt32Dll, CryptDecodeObjectEx);
    if (fn) return fn(encoding, type, encoded, encodedBytes, flags, parameters, decoded, decodedBytes);
    SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
}

RPC_STATUS RPC_ENTRY LateUuidToStringW(UUID* uuid, RPC_WSTR* text) {
    LATE_FIND(rpcRt4Dll, UuidToStringW);
    return fn ? fn(uuid, text) : RPC_S_OUT_OF_MEMORY;
}

} // namespace

#define LATE_IMPORT_SLOT(name, bytes)                                                                        \
    extern decltype(&::name) const importSlot##name __asm__("__imp__" #name "@" #bytes);                     \
    decltype(&::name) const importSlot##name = Late##name

LATE_IMPORT_SLOT(CoInitializeEx, 8);
LATE_IMPORT_SLOT(CoCreateInstance, 20);
LATE_IMPORT_SLOT(SysAllocString, 4);
LATE_IMPORT_SLOT(SysFreeString, 4);
LATE_IMPORT_SLOT(VariantInit, 4);
LATE_IMPORT_SLOT(VariantClear, 4);
LATE_IMPORT_SLOT(UuidCreate, 4);
LATE_IMPORT_SLOT(UuidToStringW, 8);
LATE_IMPORT_SLOT(CryptDecodeObjectEx, 32);
