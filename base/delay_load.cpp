// urlmon, WinHTTP, ole32, oleaut32, rpcrt4, wintrust and crypt32 are needed only once the window is
// up; loaded with the program they would put themselves, and the DLLs they pull in, before the first
// paint. They are linked through delay-import libraries that the build makes from the toolchain's own
// import libraries (cmake/delay_import_lib.py), so the program calls their functions as declared and
// adding a call needs nothing here. The first call of a DLL's function goes through the C runtime's
// delay-load helper, which asks the two hooks below.
//
// Left alone, the helper would load the DLL with LoadLibrary, the default search, and when the DLL or
// the function is missing it raises an exception that nothing catches, which ends the process. The
// notification hook loads every DLL from the system folder only; the failure hook gives a function
// that a supported Windows may lack a stand-in that fails the way the function reports failure.
#include "base/delay_load.h"

#include <delayimp.h>
#include <winhttp.h>

#include <cstring>
#include <cwchar>
#include <type_traits>

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
// imports of their own, which Wine's loader searches for in the program's folder whatever the default
// directories say (seen: crypt32 and secur32 planted there were taken). Loaded from the system folder
// first, they are found by their names. WinHTTP needs them all for its first request anyway.
constexpr const wchar_t* kNetworkDelayLoads[] = {L"crypt32.dll", L"secur32.dll", L"iphlpapi.dll",
                                                 L"dnsapi.dll"};
constexpr const char* kNetworkDlls[] = {"urlmon.dll", "winhttp.dll", "wintrust.dll"};

HMODULE LoadDelayImported(const char* name) {
    for (const char* network : kNetworkDlls) {
        if (lstrcmpiA(name, network) != 0) continue;
        for (const wchar_t* first : kNetworkDelayLoads) (void)LoadFromSystemFolder(first);
        break;
    }
    wchar_t wide[MAX_PATH]; // the import table's names are ASCII
    size_t length = 0;
    for (; name[length] && length + 1 < MAX_PATH; ++length)
        wide[length] = static_cast<unsigned char>(name[length]);
    wide[length] = 0;
    return LoadFromSystemFolder(wide);
}

FARPROC WINAPI OnDelayLoad(unsigned note, PDelayLoadInfo info) {
    if (note != dliNotePreLoadLibrary) return nullptr;
    HMODULE module = LoadDelayImported(info->szDll);
    // Missing from the system folder, a DLL is not looked for anywhere else: the program's own image
    // stands in for it, and as it exports nothing, each of the DLL's functions meets the failure hook.
    return reinterpret_cast<FARPROC>(module ? module : GetModuleHandleW(nullptr));
}

// A function with exactly the parameters the header declares, so that it takes as many bytes off the
// stack as the real one would, failing as the real one reports failure.
template <typename Fn, auto kFailure>
struct Failing;
template <typename R, typename... Args, auto kFailure>
struct Failing<R(WINAPI*)(Args...), kFailure> {
    static R WINAPI Call(Args...) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        if constexpr (!std::is_void_v<R>) return static_cast<R>(kFailure);
    }
};

template <typename Fn, auto kFailure>
const void* const kFailing = reinterpret_cast<const void*>(&Failing<Fn, kFailure>::Call);

struct StandIn {
    const char* name;
    const void* call;
};

// The functions of those DLLs that a supported Windows may lack: WinHTTP's proxy resolver came with
// Windows 8. Everything else the installer calls is in every Windows from 7 on.
const StandIn kStandIns[] = {
    {"WinHttpCreateProxyResolver", kFailing<decltype(&::WinHttpCreateProxyResolver), ERROR_PROC_NOT_FOUND>},
    {"WinHttpGetProxyForUrlEx", kFailing<decltype(&::WinHttpGetProxyForUrlEx), ERROR_PROC_NOT_FOUND>},
    {"WinHttpGetProxyResult", kFailing<decltype(&::WinHttpGetProxyResult), ERROR_PROC_NOT_FOUND>},
    {"WinHttpFreeProxyResult", kFailing<decltype(&::WinHttpFreeProxyResult), 0>},
};

FARPROC WINAPI OnDelayLoadFailure(unsigned note, PDelayLoadInfo info) {
    if (note != dliFailGetProc || !info->dlp.fImportByName) return nullptr;
    for (const StandIn& standIn : kStandIns)
        if (std::strcmp(standIn.name, info->dlp.szProcName) == 0)
            return reinterpret_cast<FARPROC>(const_cast<void*>(standIn.call));
    // Anything else missing means a damaged system: the helper raises its exception.
    return nullptr;
}

} // namespace

// The helper reads these two; defined here, they take the place of the C runtime's empty ones.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = OnDelayLoad;
PfnDliHook __pfnDliFailureHook2 = OnDelayLoadFailure;
}
