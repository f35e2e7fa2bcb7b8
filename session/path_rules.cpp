#include "session/path_rules.h"

uint32_t BoundedCopy(wchar_t* dest, size_t capacity, const wchar_t* source) {
    size_t i = 0;
    for (; i + 1 < capacity; ++i) {
        dest[i] = source[i];
        if (source[i] == 0) return kOk;
    }
    dest[i] = 0;
    return source[i] == 0 ? kOk : kInsufficientBuffer;
}

uint32_t BoundedAppend(wchar_t* dest, const wchar_t* source) {
    size_t length = 0;
    while (length < kTreePathUnits && dest[length] != 0)
        ++length;
    if (length == kTreePathUnits) return kInvalidArgument;
    return BoundedCopy(dest + length, kTreePathUnits - length, source);
}

bool InstallRootFromValue(wchar_t* value, size_t bytesRead) {
    size_t units = bytesRead / 2;
    if (units > kValueUnits) return false;
    size_t n = 0;
    while (n < units && value[n] != 0)
        ++n;
    if (n == kValueUnits) return false; // no room for a terminator: not a value of ours
    if (n <= kRegisteredSuffixUnits) return false;
    value[n - kRegisteredSuffixUnits] = 0;
    return true;
}
