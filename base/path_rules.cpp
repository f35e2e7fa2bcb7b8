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

bool FolderOfFile(const wchar_t* path, wchar_t* folder, size_t capacity) {
    size_t last = 0;
    bool found = false;
    for (size_t i = 0; path[i] != 0; ++i)
        if (path[i] == L'\\') {
            last = i;
            found = true;
        }
    // "C:\x.exe": the root keeps its backslash, or it would name the drive's current folder.
    size_t length = (found && last == 2 && path[1] == L':') ? 3 : last;
    if (!found || length == 0 || length >= capacity) return false;
    for (size_t i = 0; i < length; ++i) folder[i] = path[i];
    folder[length] = 0;
    return true;
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

namespace {
wchar_t UpperAscii(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool IsNamedOnly(const wchar_t* name, size_t length, const wchar_t* expected) {
    size_t i = 0;
    for (; i < length && expected[i]; ++i)
        if (name[i] != expected[i]) return false;
    return i == length && expected[i] == 0;
}

// Appends the name (already trimmed) and a separator; false when it does not fit.
bool AppendName(wchar_t* out, size_t& used, size_t capacity, const wchar_t* name, size_t length) {
    if (used + length + 2 > capacity) return false;
    for (size_t i = 0; i < length; ++i) out[used++] = UpperAscii(name[i]);
    out[used++] = L'\\';
    out[used] = 0;
    return true;
}

// Where the names after the drive or share begin in `path`, and the prefix's length in `out`.
bool ComparisonPrefix(const wchar_t* path, wchar_t* out, size_t capacity, size_t& used,
                      const wchar_t*& rest) {
    used = 0;
    bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    if (letter && path[1] == L':' && (IsSeparator(path[2]) || path[2] == 0)) {
        if (capacity < 4) return false;
        out[0] = UpperAscii(path[0]);
        out[1] = L':';
        out[2] = L'\\';
        out[3] = 0;
        used = 3;
        rest = path + 2;
        return true;
    }
    if (!IsSeparator(path[0]) || !IsSeparator(path[1]) || path[2] == L'?' || path[2] == L'.') return false;
    if (capacity < 3) return false;
    out[0] = out[1] = L'\\';
    out[2] = 0;
    used = 2;
    const wchar_t* p = path + 2;
    for (int part = 0; part < 2; ++part) { // the server, then the share
        const wchar_t* start = p;
        while (*p && !IsSeparator(*p)) ++p;
        size_t length = static_cast<size_t>(p - start);
        while (length > 0 && (start[length - 1] == L' ' || start[length - 1] == L'.')) --length;
        if (length == 0 || !AppendName(out, used, capacity, start, length)) return false;
        while (IsSeparator(*p)) ++p;
    }
    rest = p;
    return true;
}
} // namespace

bool FolderForComparison(const wchar_t* path, wchar_t* out, size_t capacity) {
    size_t used = 0;
    const wchar_t* p = nullptr;
    if (capacity == 0 || !ComparisonPrefix(path, out, capacity, used, p)) {
        if (capacity) out[0] = 0;
        return false;
    }
    const size_t rootLength = used;
    while (*p) {
        while (IsSeparator(*p)) ++p;
        const wchar_t* start = p;
        while (*p && !IsSeparator(*p)) ++p;
        size_t length = static_cast<size_t>(p - start);
        if (length == 0) continue;
        if (IsNamedOnly(start, length, L"..")) {
            // Back to the separator before the last name, never into the drive or share.
            if (used > rootLength) {
                --used;
                while (used > rootLength && out[used - 1] != L'\\') --used;
                out[used] = 0;
            }
            continue;
        }
        while (length > 0 && (start[length - 1] == L' ' || start[length - 1] == L'.')) --length;
        if (length == 0) continue; // ".", or only dots and blanks
        if (!AppendName(out, used, capacity, start, length)) {
            out[0] = 0;
            return false;
        }
    }
    return true;
}

namespace {
constexpr size_t kCompareUnits = 1100;

bool SameFolder(const wchar_t* resolved, const wchar_t* other) {
    wchar_t folder[kCompareUnits];
    if (!other || !FolderForComparison(other, folder, kCompareUnits)) return false;
    for (size_t i = 0;; ++i) {
        if (resolved[i] != folder[i]) return false;
        if (resolved[i] == 0) return true;
    }
}
} // namespace

bool IsSystemFolder(const wchar_t* root, const SystemFolders& folders) {
    wchar_t resolved[kCompareUnits];
    if (!FolderForComparison(root, resolved, kCompareUnits)) return true;
    for (const wchar_t* folder : folders.exact)
        if (SameFolder(resolved, folder)) return true;
    if (SameFolder(resolved, folders.users)) return true;
    // A profile root: the resolved text less its last name is the users folder.
    size_t length = 0;
    while (resolved[length]) ++length;
    size_t cut = length - 1; // before the final separator
    while (cut > 0 && resolved[cut - 1] != L'\\') --cut;
    if (cut == 0 || cut == length - 1) return false;
    wchar_t parent[kCompareUnits];
    for (size_t i = 0; i < cut; ++i) parent[i] = resolved[i];
    parent[cut] = 0;
    return SameFolder(parent, folders.users);
}
