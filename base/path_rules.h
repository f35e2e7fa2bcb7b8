#pragma once
// Bounded path text helpers and the cut from the registered value to the install root.
#include <cstddef>
#include <cstdint>

constexpr uint32_t kOk = 0;
constexpr uint32_t kInsufficientBuffer = 0x8007007A;
constexpr uint32_t kInvalidArgument = 0x80070057;
constexpr size_t kTreePathUnits = 260;

// Copies until the source's terminator or until the destination is full. 0 when the whole
// source fit; otherwise capacity - 1 units and a terminator, and kInsufficientBuffer.
uint32_t BoundedCopy(wchar_t* dest, size_t capacity, const wchar_t* source);

// Appends behind the text in a 260-unit destination. kInvalidArgument, changing nothing,
// when no terminator lies within those 260 units.
uint32_t BoundedAppend(wchar_t* dest, const wchar_t* source);

// The folder a file's full path names: everything before its last backslash, kept whole for a
// drive's root ("C:\x.exe" gives "C:\"). False when the path has no backslash or the folder
// does not fit in `capacity` units.
bool FolderOfFile(const wchar_t* path, wchar_t* folder, size_t capacity);

constexpr size_t kValueUnits = 1024;          // the 2048-byte registry buffer
constexpr size_t kRegisteredSuffixUnits = 10; // what is cut off the registered value

// The install root from the registered value: `value` holds `bytesRead` bytes of UTF-16
// text in a buffer of kValueUnits units. The text ends at its first zero unit; a value
// with no zero unit ends where its data ends, unless it fills the whole buffer, which is
// refused (false). False also when the text has 10 units or fewer.
bool InstallRootFromValue(wchar_t* value, size_t bytesRead);

// True when the install root names a folder that can hold an installation: an absolute path
// with a drive letter ("C:\Apps\") or a share ("\\server\share\Apps\") and at least one folder
// below the drive or share, none of them "." or "..". A drive or share root, a relative path
// and anything else name no installation, so nothing may be removed there.
bool IsInstallationFolder(const wchar_t* root);

// The folder in the form Windows resolves it to, for comparing folders: "/" taken as "\", "."
// names dropped, ".." names taken back (never above the drive or share), trailing blanks and
// dots of each name dropped (Windows drops them when it opens a path), names of nothing but
// dots and blanks dropped, ASCII letters upper-cased, ending in "\". Short (8.3) names are
// the caller's to expand first. False when the path has no drive or share, or the result
// does not fit in `capacity` units.
bool FolderForComparison(const wchar_t* path, wchar_t* out, size_t capacity);

// The folders no installation may be: the Windows and system folders, each Program Files
// folder, the users folder (whose direct subfolders are profile roots) and the user's profile.
// Null entries are skipped.
struct SystemFolders {
    static constexpr size_t kMax = 12;
    const wchar_t* exact[kMax] = {};
    const wchar_t* users = nullptr;
};

// True when the root, compared as FolderForComparison resolves both, is one of the system
// folders themselves or a profile root (a folder directly inside the users folder). A root
// that cannot be resolved counts as one: nothing unclear is removed.
bool IsSystemFolder(const wchar_t* root, const SystemFolders& folders);
