#include "net/download_rules.h"

#include "base/format_bounded.h"

size_t WidenBytes(const char* bytes, wchar_t* wide, size_t wideUnits) {
    size_t i = 0;
    for (; i + 1 < wideUnits && bytes[i] != 0; ++i)
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
    wide[i] = 0;
    return i;
}

namespace {
bool IsEncoded(const wchar_t* p, wchar_t high, wchar_t low) {
    return p[0] == L'%' && p[1] == high && (p[2] == low || p[2] == low - (L'a' - L'A'));
}

// Units a URL parser drops or that never make a path segment of their own.
bool IsBlankOrControl(wchar_t c) { return c <= 0x20 || (c >= 0x7F && c <= 0x9F); }
} // namespace

bool NameStaysInFolder(const wchar_t* name) {
    // Only the path is resolved: the part before a query or a fragment.
    int dots = 0;
    bool other = false;
    for (const wchar_t* p = name;; ++p) {
        bool segmentEnd = *p == 0 || *p == L'/' || *p == L'\\' || *p == L'?' || *p == L'#';
        if (segmentEnd) {
            if (!other && (dots == 1 || dots == 2)) return false;
            if (*p != L'/' && *p != L'\\') return true;
            dots = 0;
            other = false;
        } else if (*p == L'.') {
            ++dots;
        } else if (IsEncoded(p, L'2', L'e')) {
            ++dots;
            p += 2;
        } else if (!IsBlankOrControl(*p)) {
            other = true;
        }
    }
}

int BuildDownloadUrl(wchar_t* url, const wchar_t* downloadHost, const wchar_t* widenedName) {
    if (!NameStaysInFolder(widenedName)) {
        url[0] = 0;
        return -1;
    }
    return FormatBounded(url, kUrlUnits, L"https://%s/downloads_ls/%s", downloadHost, widenedName);
}

bool DownloadIsWhole(uint64_t bytesOnDisk, uint32_t announcedBytes) {
    return announcedBytes == 0 || bytesOnDisk >= announcedBytes;
}
