#include "base/file_helpers.h"

#include "base/raii.h"
#include "base/path_rules.h"

namespace {
bool IsDotEntry(const wchar_t* name) { return lstrcmpW(name, L".") == 0 || lstrcmpW(name, L"..") == 0; }

// folder + "\" + name in a 260-unit buffer; false when it does not fit.
bool EntryPath(wchar_t* path, const wchar_t* folder, const wchar_t* name) {
    return BoundedCopy(path, kTreePathUnits, folder) == kOk && BoundedAppend(path, L"\\") == kOk &&
           BoundedAppend(path, name) == kOk;
}

// folder + "\*" in a 260-unit buffer; false when it does not fit.
bool SearchPattern(wchar_t* pattern, const wchar_t* folder) {
    return BoundedCopy(pattern, kTreePathUnits, folder) == kOk && BoundedAppend(pattern, L"\\*") == kOk;
}
} // namespace

bool EntryExists(const wchar_t* path) {
    WIN32_FIND_DATAW found;
    raii::unique_hfind search(FindFirstFileW(path, &found));
    return static_cast<bool>(search);
}

bool DeleteOrSchedule(const wchar_t* path) {
    if (DeleteFileW(path)) return true;
    (void)MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return false;
}

bool IsFolderLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RemoveFolderLinkOrSchedule(const wchar_t* path) {
    // RemoveDirectoryW takes a junction or folder symbolic link away whatever its target
    // holds; DeleteFileW cannot remove one at all.
    if (RemoveDirectoryW(path)) return true;
    (void)MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return false;
}

bool RemoveFolderLinksInside(const wchar_t* folder) {
    wchar_t pattern[kTreePathUnits];
    if (!SearchPattern(pattern, folder)) return false; // nothing below can be vouched for
    WIN32_FIND_DATAW entry;
    raii::unique_hfind search(FindFirstFileW(pattern, &entry));
    if (!search) return true; // unreadable: by the shell no more than by us
    bool clear = true;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || IsDotEntry(entry.cFileName)) continue;
        wchar_t path[kTreePathUnits];
        if (!EntryPath(path, folder, entry.cFileName)) {
            clear = false; // cannot be looked into under its own name
            continue;
        }
        if (IsFolderLink(entry.dwFileAttributes)) {
            if (!RemoveDirectoryW(path)) clear = false;
        } else if (!RemoveFolderLinksInside(path)) {
            clear = false;
        }
    } while (FindNextFileW(search.get(), &entry));
    return clear;
}

void DeleteTreeContents(const wchar_t* folder) {
    wchar_t pattern[kTreePathUnits];
    if (!SearchPattern(pattern, folder)) return;
    WIN32_FIND_DATAW entry;
    raii::unique_hfind search(FindFirstFileW(pattern, &entry));
    if (!search) return;
    do {
        wchar_t path[kTreePathUnits];
        if (!EntryPath(path, folder, entry.cFileName)) continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (IsDotEntry(entry.cFileName)) continue;
            // A link to a folder elsewhere is removed as a link; what it points to is not ours.
            if (IsFolderLink(entry.dwFileAttributes)) {
                (void)RemoveFolderLinkOrSchedule(path);
                continue;
            }
            DeleteTreeContents(path);
            (void)DeleteOrSchedule(path);
        } else {
            (void)DeleteOrSchedule(path);
        }
    } while (FindNextFileW(search.get(), &entry));
}
