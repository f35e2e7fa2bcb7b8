#pragma once
// The package's download address: a fixed https prefix on the download host, then the name
// exactly as the server gave it, each byte widened to the UTF-16 unit of the same value.
#include <cstddef>

constexpr int kUrlUnits = 2048;

// Widens the zero-terminated byte text into `wide` (bytes + 1 units). Answers the length.
size_t WidenBytes(const char* bytes, wchar_t* wide, size_t wideUnits);

// Formats the download URL; an empty text and -1 when it does not fit.
int BuildDownloadUrl(wchar_t* url, const wchar_t* downloadHost, const wchar_t* widenedName);
