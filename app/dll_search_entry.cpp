// The executable's entry point (linked with -e): it takes the program's own folder out of the DLL
// search, then hands over to the C runtime's start-up, which calls wWinMain.
//
// The installer runs elevated from the Downloads folder, where any web page can have the browser
// save a file. The default search looks in the program's folder first, so a DLL saved there under
// the name of a system DLL that is not a known DLL (uxtheme, dwmapi, crypt32, ...) would be loaded
// into the installer the first time the system loads that DLL by name: the first window already
// does. Nothing of ours, and nothing of the C runtime's start-up, runs before this.
#include "base/delay_load.h"

#include <bit>

extern "C" int WinMainCRTStartup(); // mingw-w64's crt2u.o: the C runtime's start-up for wWinMain

namespace {

// System DLLs outside the known DLLs that Windows or the installer's imports load by name after the
// start. Only where the search cannot be restricted are they loaded at once from the system folder:
// a DLL already loaded is found by its name, not searched for. Those that others load come before
// them (seen under Wine: secur32's start loads dnsapi and iphlpapi by name).
constexpr const wchar_t* kLaterSystemDlls[] = {
    L"dnsapi.dll",  L"iphlpapi.dll", L"cryptbase.dll", L"version.dll", L"winmm.dll",   L"dwmapi.dll",
    L"msimg32.dll", L"uxtheme.dll",  L"userenv.dll",   L"propsys.dll", L"crypt32.dll", L"secur32.dll",
    L"rpcrt4.dll",  L"ole32.dll",    L"oleaut32.dll",  L"wininet.dll", L"winhttp.dll", L"urlmon.dll"};

void RestrictDllSearch() {
    // Looked up, not imported: Windows 7 without KB2533623 lacks it, and an import would keep the
    // program from starting there.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDefault = std::bit_cast<SetDefaultDllDirectoriesFn>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"));
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // The window's theme code (uxtheme) and the common controls (comctl32, uxtheme) delay-load
        // these by name, loads Wine does not restrict (seen: each planted one was taken when it was
        // not loaded yet); loaded first, each is found by its name. Both are small.
        (void)LoadFromSystemFolder(L"msimg32.dll");
        (void)LoadFromSystemFolder(L"uxtheme.dll");
        return;
    }
    // Takes the current folder out; the program's folder stays first, hence the preloading.
    (void)SetDllDirectoryW(L"");
    for (const wchar_t* name : kLaterSystemDlls) (void)LoadFromSystemFolder(name);
}

} // namespace

extern "C" int DllSearchEntry() {
    RestrictDllSearch();
    return WinMainCRTStartup();
}

// No load configuration marks the image for Windows 10's DependentLoadFlags: GNU ld 2.40 here leaves
// its data directory empty even with _load_config_used defined (it fills only the TLS one). Its rule
// would cover only the import table's DLLs, and those are all known DLLs, never searched for.
