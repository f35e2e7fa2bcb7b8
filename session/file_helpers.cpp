#include "session/file_helpers.h"

#include "app/raii.h"
#include "session/path_rules.h"

bool EntryExists(const wchar_t* path) {
    WIN32_FIND_DATAW found;
    raii::unique_find search(FindFirstFileW(path, &found));
    return static_cast<bool>(search);
}

bool DeleteOrSchedule(const wchar_t* path) {
    if (DeleteFileW(path)) return true;
    (void)MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return false;
}

void DeleteTreeContents(const wchar_t* folder) {
    wchar_t pattern[kTreePathUnits];
    if (BoundedCopy(pattern, kTreePathUnits, folder) != kOk) return;
    if (BoundedAppend(pattern, L"\\*") != kOk) return;

    WIN32_FIND_DATAW entry;
    raii::unique_find search(FindFirstFileW(pattern, &entry));
    if (!search) return;
    do {
        wchar_t path[kTreePathUnits];
        if (BoundedCopy(path, kTreePathUnits, folder) != kOk || BoundedAppend(path, L"\\") != kOk ||
            BoundedAppend(path, entry.cFileName) != kOk)
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (lstrcmpW(entry.cFileName, L".") == 0 || lstrcmpW(entry.cFileName, L"..") == 0) continue;
            // A link to a folder elsewhere is removed as a link; what it points to is not ours.
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) DeleteTreeContents(path);
            (void)DeleteOrSchedule(path);
        } else {
            (void)DeleteOrSchedule(path);
        }
    } while (FindNextFileW(search.get(), &entry));
}
