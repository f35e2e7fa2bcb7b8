#pragma once
// Shared by the test fakes: their log lines, their knobs, and the layout of the small product the fake
// package installs and the fake uninstaller removes.
//
// Every fake appends one UTF-8 line per event to its own file in C:\fakes\log\ (created when missing),
// written and closed at once so a test can read it while the fake runs. A line is an event word, then
// fields "key=value" or "key=[text]", then "at=" with the UTC time in milliseconds, for ordering lines
// of different fakes.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include "base/raii.h"

namespace fake {

inline constexpr wchar_t kFakesDir[] = L"C:\\fakes";
inline constexpr wchar_t kLogDir[] = L"C:\\fakes\\log";

// --- the installed product's layout -------------------------------------------------------------------

// Value of the product's registry entry (HKLM, 32-bit view); the installer cuts the last 10 characters
// ("Vantrelisk") off it to find the installation root.
inline constexpr wchar_t kRegistryKey[] = L"SOFTWARE\\Halvaren\\Quorbin Vantrelisk";
inline constexpr wchar_t kVendorFolder[] = L"Quorbin"; // under the Program Files folder
inline constexpr wchar_t kProductFolder[] = L"Vantrelisk";
inline constexpr const wchar_t* kComponentFolders[] = {L"Pellam", L"Ostrel", L"Vesk", L"Vantrelisk",
                                                       L"Drummel"};
inline constexpr const wchar_t* kUninstallers[] = {L"Uninstall Ostrel.exe", L"Uninstall Drummel.exe",
                                                   L"Uninstall MORVELT.exe"};
// What the package installs and the uninstallers remove, relative to the installation root. The
// product's executable is copied from C:\fakes\product_fake.exe, the uninstallers from uninstaller_fake.exe.
inline constexpr wchar_t kProductExe[] = L"Vantrelisk\\MORVELT.exe";
inline constexpr const wchar_t* kInstalledFiles[] = {
    L"Pellam\\pellam.dll",         L"Pellam\\pellam.cfg",   L"Ostrel\\ostrel.dll",
    L"Ostrel\\ostrel.dat",         L"Vesk\\vesk.dll",       L"Vesk\\data\\vesk.idx",
    L"Vantrelisk\\vantrelisk.dll", L"Drummel\\drummel.dll", L"Drummel\\drummel.txt"};
// Data the product keeps for the user. Uninstallers leave it, so the installer finds remains to delete.
inline constexpr const wchar_t* kUserData[] = {L"Vantrelisk\\settings.ini", L"Vesk\\data\\cache.bin"};

// --- text -----------------------------------------------------------------------------------------------

inline std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), n, nullptr, nullptr);
    return out;
}

inline std::wstring Number(long long value) { return std::to_wstring(value); }

inline std::wstring Hex(unsigned long long value) {
    wchar_t buf[24];
    swprintf(buf, 24, L"0x%llx", value);
    return buf;
}

// --- files, folders, processes ------------------------------------------------------------------------

inline bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

inline std::wstring OwnPath() {
    wchar_t buf[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buf, MAX_PATH);
    return buf;
}

inline std::wstring CurrentFolder() {
    wchar_t buf[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, buf);
    return buf;
}

// "C:\Program Files (x86)" for a 32-bit process on 64-bit Windows, as the real package sees it.
inline std::wstring ProgramFiles() {
    wchar_t buf[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, buf)))
        return L"C:\\Program Files (x86)";
    return buf;
}

struct ProcessInfo {
    DWORD parentPid = 0;
    std::wstring parentExe; // empty when the parent has already exited
};

// The parent's id and executable name, from a process snapshot.
inline ProcessInfo Parent() {
    ProcessInfo info;
    raii::unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return info;
    auto forEach = [&](auto&& visit) {
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
             more = Process32NextW(snapshot.get(), &entry))
            visit(entry);
    };
    forEach([&](const PROCESSENTRY32W& e) {
        if (e.th32ProcessID == GetCurrentProcessId()) info.parentPid = e.th32ParentProcessID;
    });
    forEach([&](const PROCESSENTRY32W& e) {
        if (info.parentPid && e.th32ProcessID == info.parentPid) info.parentExe = e.szExeFile;
    });
    return info;
}

// 1 when the process token is elevated: tells a start through the desktop shell from one by the installer.
inline int Elevated() {
    raii::unique_handle token;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
        !GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size))
        return -1;
    return elevation.TokenIsElevated ? 1 : 0;
}

// The build links these as console programs; a console made just for us (started by a GUI process)
// would put a console window on the screen, so let it go before it is drawn.
inline void DropOwnConsole() {
    DWORD ids[2];
    if (GetConsoleWindow() && GetConsoleProcessList(ids, 2) == 1) FreeConsole();
}

// --- knobs ----------------------------------------------------------------------------------------------

inline std::wstring Env(const wchar_t* name) {
    wchar_t buf[512] = {};
    DWORD n = GetEnvironmentVariableW(name, buf, 512);
    return n && n < 512 ? std::wstring(buf, n) : std::wstring();
}

// Decimal, negative, or hexadecimal like 0x80000000; the fallback when empty or not a number.
inline long long ParseNumber(const std::wstring& text, long long fallback) {
    if (text.empty()) return fallback;
    wchar_t* end = nullptr;
    long long value = wcstoll(text.c_str(), &end, 0);
    while (end && iswspace(*end)) ++end;
    return end && *end == 0 && end != text.c_str() ? value : fallback;
}

inline long long EnvNumber(const wchar_t* name, long long fallback) {
    return ParseNumber(Env(name), fallback);
}

// A number kept in a small text file, for programs the test's environment does not reach.
inline long long FileNumber(const std::wstring& path, long long fallback) {
    raii::unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    char buf[64] = {};
    DWORD got = 0;
    if (!file || !ReadFile(file.get(), buf, sizeof buf - 1, &got, nullptr)) return fallback;
    std::wstring text(buf, buf + got);
    while (!text.empty() && iswspace(text.back())) text.pop_back();
    return ParseNumber(text, fallback);
}

// --- the log ----------------------------------------------------------------------------------------------

// Appends "<line> at=<UTC>" to C:\fakes\log\<file>.
inline void Log(const wchar_t* file, const std::wstring& line) {
    CreateDirectoryW(kFakesDir, nullptr);
    CreateDirectoryW(kLogDir, nullptr);
    SYSTEMTIME t;
    GetSystemTime(&t);
    wchar_t at[40];
    swprintf(at, 40, L" at=%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\n", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond, t.wMilliseconds);
    std::string bytes = Utf8(line + at);
    // Append access makes each write land at the end even when several fakes share a file.
    raii::unique_hfile log(CreateFileW((std::wstring(kLogDir) + L"\\" + file).c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (log) WriteFile(log.get(), bytes.data(), (DWORD)bytes.size(), &written, nullptr);
}

// The first line of every fake: how and from where it was started.
inline std::wstring StartedLine() {
    ProcessInfo parent = Parent();
    return L"started cmdline=[" + std::wstring(GetCommandLineW()) + L"] cwd=[" + CurrentFolder() +
           L"] exe=[" + OwnPath() + L"] pid=" + Number(GetCurrentProcessId()) + L" parent_pid=" +
           Number(parent.parentPid) + L" parent_exe=[" + parent.parentExe + L"] elevated=" +
           Number(Elevated());
}

} // namespace fake
