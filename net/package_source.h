#pragma once
// Package-name lookup on the vendor's web server and the package download.
#include "net/lookup_rules.h"

class DownloadStatus;

// Fills packageName (kPackageNameBytes) with the server's answer, zero-terminated.
[[nodiscard]] bool LookupPackageName(char* packageName);

// Downloads the named package into packagePath, reporting progress to status.
[[nodiscard]] bool DownloadPackage(const char* packageName, const wchar_t* packagePath, DownloadStatus* status);
