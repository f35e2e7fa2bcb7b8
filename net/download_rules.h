#pragma once
// The package's download address: a fixed https prefix on the download host, then the name
// exactly as the server gave it, each byte widened to the UTF-16 unit of the same value.
#include <cstddef>
#include <cstdint>

constexpr int kUrlUnits = 2048;

// Widens the zero-terminated byte text into `wide` (bytes + 1 units). Answers the length.
size_t WidenBytes(const char* bytes, wchar_t* wide, size_t wideUnits);

// Whether the name addresses something inside /downloads_ls/. The download service resolves dot
// segments ("..", "%2e%2e") and reads "\\" as "/", so a name such as "../x" would fetch another
// path of the download host and run it as the package. Refused: a name whose path part (before
// any query or fragment) has a segment that is "." or ".." once the blanks and control
// characters that URL parsers drop are left aside.
[[nodiscard]] bool NameStaysInFolder(const wchar_t* widenedName);

// Formats the download URL; an empty text and -1 when it does not fit or the name would leave
// the folder (the download service then refuses the empty address).
[[nodiscard]] int BuildDownloadUrl(wchar_t* url, const wchar_t* downloadHost, const wchar_t* widenedName);

// Whether the file the download service left is the whole package. The service may call a
// transfer done although the connection ended before the announced size had arrived (Wine's
// does, for a connection dropped mid-transfer); such a file is a fragment, not the package.
// With no size announced (0) there is nothing to compare with.
[[nodiscard]] bool DownloadIsWhole(uint64_t bytesOnDisk, uint32_t announcedBytes);
