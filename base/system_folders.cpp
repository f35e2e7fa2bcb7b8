#include "base/system_folders.h"

#include "base/path_rules.h"
#include "base/raii.h"

#include <shlobj.h>

namespace {
constexpr DWORD kFolderUnits = 1024;

// Each folder as the machine names it, and again with its short names expanded.
struct FolderTexts {
    wchar_t text[SystemFolders::kMax][kFolderUnits] = {};
    size_t count = 0;

    wchar_t* Next() { return count < SystemFolders::kMax ? text[count++] : nullptr; }
    void Drop() { text[--count][0] = 0; }
};

void AddFromCall(FolderTexts& texts, bool ok) {
    if (!ok) texts.Drop();
}

void AddShellFolder(FolderTexts& texts, int csidl) {
    if (wchar_t* slot = texts.Next())
        AddFromCall(texts, SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, slot)));
}

template <typename Call>
void AddSized(FolderTexts& texts, Call call) {
    if (wchar_t* slot = texts.Next()) {
        UINT n = call(slot, kFolderUnits);
        AddFromCall(texts, n > 0 && n < kFolderUnits);
    }
}

// The users folder as the profile list names it ("%SystemDrive%\Users" on Windows).
bool UsersFolder(wchar_t (&folder)[kFolderUnits]) {
    raii::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                      KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return false;
    wchar_t raw[kFolderUnits] = {};
    DWORD bytes = sizeof raw - sizeof(wchar_t); // room kept for a terminator the value may lack
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), L"ProfilesDirectory", nullptr, &type, reinterpret_cast<BYTE*>(raw),
                         &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    DWORD n = ExpandEnvironmentStringsW(raw, folder, kFolderUnits);
    return n > 0 && n <= kFolderUnits;
}

// The long form of the path where the file system knows it; otherwise the path unchanged.
const wchar_t* LongForm(const wchar_t* path, wchar_t (&buffer)[kFolderUnits]) {
    DWORD n = GetLongPathNameW(path, buffer, kFolderUnits);
    return n > 0 && n < kFolderUnits ? buffer : path;
}
} // namespace

bool NamesSystemFolder(const wchar_t* root) {
    FolderTexts texts;
    AddSized(texts, [](wchar_t* slot, UINT units) { return GetWindowsDirectoryW(slot, units); });
    AddSized(texts, [](wchar_t* slot, UINT units) { return GetSystemDirectoryW(slot, units); });
    AddSized(texts, [](wchar_t* slot, UINT units) { return GetSystemWow64DirectoryW(slot, units); });
    AddShellFolder(texts, CSIDL_PROGRAM_FILES);
    AddShellFolder(texts, CSIDL_PROGRAM_FILESX86);
    AddShellFolder(texts, CSIDL_PROFILE);
    // A 32-bit program is told the 32-bit Program Files folder; the 64-bit one has its own name.
    AddSized(texts,
             [](wchar_t* slot, UINT units) { return GetEnvironmentVariableW(L"ProgramW6432", slot, units); });

    SystemFolders folders;
    wchar_t longForms[SystemFolders::kMax][kFolderUnits];
    for (size_t i = 0; i < texts.count; ++i) folders.exact[i] = LongForm(texts.text[i], longForms[i]);
    wchar_t users[kFolderUnits];
    wchar_t usersLong[kFolderUnits];
    if (UsersFolder(users)) folders.users = LongForm(users, usersLong);

    wchar_t rootLong[kFolderUnits];
    return IsSystemFolder(root, folders) || IsSystemFolder(LongForm(root, rootLong), folders);
}
