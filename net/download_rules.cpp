#include "net/download_rules.h"

#include "app/format_bounded.h"

size_t WidenBytes(const char* bytes, wchar_t* wide, size_t wideUnits) {
    size_t i = 0;
    for (; i + 1 < wideUnits && bytes[i] != 0; ++i) wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
    wide[i] = 0;
    return i;
}

int BuildDownloadUrl(wchar_t* url, const wchar_t* downloadHost, const wchar_t* widenedName) {
    return FormatBounded(url, kUrlUnits, L"https://%s/downloads_ls/%s", downloadHost, widenedName);
}

bool DownloadIsWhole(uint64_t bytesOnDisk, uint32_t announcedBytes) {
    return announcedBytes == 0 || bytesOnDisk >= announcedBytes;
}
