#pragma once
// Package-name lookup on the vendor's web server and the package download.
#include <windows.h>
#include <urlmon.h>
#include <cstdint>

#include "net/lookup_rules.h"

// What the download reports to: the download service's progress callback, and the size the
// server announced, which the file must have in the end.
class DownloadProgress : public IBindStatusCallback {
public:
    [[nodiscard]] virtual uint32_t AnnouncedBytes() const = 0;
};

// Fills packageName (kPackageNameBytes) with the server's answer, zero-terminated.
[[nodiscard]] bool LookupPackageName(char* packageName);

// Downloads the named package into packagePath, reporting progress to progress.
[[nodiscard]] bool DownloadPackage(const char* packageName, const wchar_t* packagePath,
                                   DownloadProgress* progress);
