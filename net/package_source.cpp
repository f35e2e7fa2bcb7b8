#include "net/package_source.h"

#include "net/download_rules.h"
#include "net/report_rules.h"
#include "net/vendor_connection.h"

#include <cstring>

bool LookupPackageName(char* packageName) {
    VendorRequest r;
    if (!OpenVendorConnection(r)) return false;
    wchar_t target[kTargetUnits];
    static_cast<void>(BuildLookupTarget(target, NextRandom())); // a number and fixed text: it fits
    if (SendVendorGet(r, target) != ExchangeResult::Received) return false;

    LookupBody body(packageName);
    for (;;) {
        DWORD available = 0;
        (void)WinHttpQueryDataAvailable(r.request.get(), &available);
        raii::heap_bytes chunk(static_cast<size_t>(available) + 1);
        if (!chunk) return false;
        DWORD read = 0;
        if (!WinHttpReadData(r.request.get(), chunk.get(), available, &read)) return false;
        if (read > available) return false; // a client that claims more than it was given
        if (!body.Add(chunk.get(), read)) return false;
        if (available == 0) break;
    }
    return body.Finish();
}

bool DownloadPackage(const char* packageName, const wchar_t* packagePath, DownloadProgress* progress) {
    wchar_t url[kUrlUnits];
    {
        size_t length = strlen(packageName);
        raii::heap_bytes wide(2 * (length + 1));
        if (!wide) return false;
        wchar_t* widened = reinterpret_cast<wchar_t*>(wide.get());
        WidenBytes(packageName, widened, length + 1);
        // A name too long for the address leaves it empty, and the download service refuses it.
        static_cast<void>(BuildDownloadUrl(url, kDownloadHost, widened));
    }
    if (URLDownloadToFileW(nullptr, url, packagePath, 0, progress) != S_OK) return false;
    WIN32_FILE_ATTRIBUTE_DATA file{};
    if (!GetFileAttributesExW(packagePath, GetFileExInfoStandard, &file)) return false;
    uint64_t size = (static_cast<uint64_t>(file.nFileSizeHigh) << 32) | file.nFileSizeLow;
    return DownloadIsWhole(size, progress->AnnouncedBytes());
}
