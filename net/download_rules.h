#pragma once
// The package's download address: a fixed https prefix on the download host, then the name
// exactly as the server gave it, each byte widened to the UTF-16 unit of the same value.
#include <cstddef>
#include <cstdint>

constexpr int kUrlUnits = 2048;

// Widens the zero-terminated byte text into `wide` (bytes + 1 units). Answers the length.
size_t WidenBytes(const char* bytes, wchar_t* wide, size_t wideUnits);

// Formats the download URL; an empty text and -1 when it does not fit.
int BuildDownloadUrl(wchar_t* url, const wchar_t* downloadHost, const wchar_t* widenedName);

// Whether the file the download service left is the whole package. The service may call a
// transfer done although the connection ended before the announced size had arrived (Wine's
// does, for a connection dropped mid-transfer); such a file is a fragment, not the package.
// With no size announced (0) there is nothing to compare with.
[[nodiscard]] bool DownloadIsWhole(uint64_t bytesOnDisk, uint32_t announcedBytes);
