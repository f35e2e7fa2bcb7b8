#pragma once
// Bounded path text helpers and the cut from the registered value to the install root.
#include <cstddef>
#include <cstdint>

constexpr uint32_t kOk = 0;
constexpr uint32_t kInsufficientBuffer = 0x8007007A;
constexpr uint32_t kInvalidArgument = 0x80070057;
constexpr size_t kTreePathUnits = 260;

// Copies until the source's terminator or until the destination is full. 0 when the whole
// source fit; otherwise capacity - 1 units and a terminator, and kInsufficientBuffer.
uint32_t BoundedCopy(wchar_t* dest, size_t capacity, const wchar_t* source);

// Appends behind the text in a 260-unit destination. kInvalidArgument, changing nothing,
// when no terminator lies within those 260 units.
uint32_t BoundedAppend(wchar_t* dest, const wchar_t* source);

constexpr size_t kValueUnits = 1024;          // the 2048-byte registry buffer
constexpr size_t kRegisteredSuffixUnits = 10; // what is cut off the registered value

// The install root from the registered value: `value` holds `bytesRead` bytes of UTF-16
// text in a buffer of kValueUnits units. The text ends at its first zero unit; a value
// with no zero unit ends where its data ends, unless it fills the whole buffer, which is
// refused (false). False also when the text has 10 units or fewer.
bool InstallRootFromValue(wchar_t* value, size_t bytesRead);

// True when the install root names a folder that can hold an installation: an absolute path
// with a drive letter ("C:\Apps\") or a share ("\\server\share\Apps\") and at least one folder
// below the drive or share, none of them "." or "..". A drive or share root, a relative path
// and anything else name no installation, so nothing may be removed there.
bool IsInstallationFolder(const wchar_t* root);
