#include "base/path_rules.h"

uint32_t BoundedCopy(wchar_t* dest, size_t capacity, const wchar_t* source) {
    size_t i = 0;
    for (; i + 1 < capacity; ++i) {
        dest[i] = source[i];
        if (source[i] == 0) return kOk;
    }
    dest[i] = 0;
    return source[i] == 0 ? kOk : kInsufficientBuffer;
}

uint32_t BoundedAppend(wchar_t* dest, const wchar_t* source) {
    size_t length = 0;
    while (length < kTreePathUnits && dest[length] != 0) ++length;
    if (length == kTreePathUnits) return kInvalidArgument;
    return BoundedCopy(dest + length, kTreePathUnits - length, source);
}

bool InstallRootFromValue(wchar_t* value, size_t bytesRead) {
    size_t units = bytesRead / 2;
    if (units > kValueUnits) return false;
    size_t n = 0;
    while (n < units && value[n] != 0) ++n;
    if (n == kValueUnits) return false; // no room for a terminator: not a value of ours
    if (n <= kRegisteredSuffixUnits) return false;
    value[n - kRegisteredSuffixUnits] = 0;
    return true;
}

namespace {
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Counts the folders from p on; -1 when one is empty, "." or "..".
int CountFolders(const wchar_t* p) {
    int folders = 0;
    while (*p) {
        const wchar_t* start = p;
        while (*p && !IsSeparator(*p)) ++p;
        size_t length = static_cast<size_t>(p - start);
        if (length == 0) return -1;
        if (start[0] == L'.' && (length == 1 || (length == 2 && start[1] == L'.'))) return -1;
        ++folders;
        if (*p) ++p;
    }
    return folders;
}
} // namespace

bool IsInstallationFolder(const wchar_t* root) {
    bool letter = (root[0] >= L'A' && root[0] <= L'Z') || (root[0] >= L'a' && root[0] <= L'z');
    if (letter && root[1] == L':' && IsSeparator(root[2])) return CountFolders(root + 3) >= 1;
    if (IsSeparator(root[0]) && IsSeparator(root[1])) {
        // Server and share come first; "\\?\" and "\\.\" forms are no folder of an installation.
        if (root[2] == L'?' || root[2] == L'.') return false;
        return CountFolders(root + 2) >= 3;
    }
    return false;
}
