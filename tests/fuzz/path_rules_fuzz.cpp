// The bounded path helpers and the install root cut, on heap buffers of their exact sizes.
// Input: one byte chooses the operation, two bytes give a size, the rest is the text.
#include "base/path_rules.h"

#include "fuzz_check.h"

// The rules library is built without coverage instrumentation; compiling the path rules into
// this target lets libFuzzer see their branches. The library's copy is then never linked in.
#include "base/path_rules.cpp"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

namespace {

// A zero-terminated text of its exact size on the heap; zero bytes of the input end it early.
std::unique_ptr<wchar_t[]> Text(const uint8_t* data, size_t size, size_t& length) {
    std::unique_ptr<wchar_t[]> text(new wchar_t[size + 1]);
    length = 0;
    while (length < size && data[length] != 0) {
        text[length] = static_cast<wchar_t>(data[length]);
        ++length;
    }
    text[length] = 0;
    return text;
}

void FuzzCopy(size_t capacity, const uint8_t* data, size_t size) {
    size_t length;
    std::unique_ptr<wchar_t[]> source = Text(data, size, length);
    std::unique_ptr<wchar_t[]> dest(new wchar_t[capacity]);
    for (size_t i = 0; i < capacity; ++i) dest[i] = L'#';
    uint32_t result = BoundedCopy(dest.get(), capacity, source.get());
    if (length < capacity) {
        FUZZ_CHECK(result == kOk);
        FUZZ_CHECK(std::wcscmp(dest.get(), source.get()) == 0);
    } else {
        FUZZ_CHECK(result == kInsufficientBuffer);
        FUZZ_CHECK(dest[capacity - 1] == 0);
        FUZZ_CHECK(std::wmemcmp(dest.get(), source.get(), capacity - 1) == 0);
    }
}

// The destination's text has `existing` units (260: no terminator at all); behind its
// terminator lie leftovers that the append must not care about.
void FuzzAppend(size_t existing, const uint8_t* data, size_t size) {
    std::unique_ptr<wchar_t[]> dest(new wchar_t[kTreePathUnits]);
    for (size_t i = 0; i < kTreePathUnits; ++i) {
        uint8_t b = i < size ? data[i] : 'g';
        dest[i] = b == 0 ? L'z' : static_cast<wchar_t>(b);
    }
    if (existing < kTreePathUnits) dest[existing] = 0;
    std::vector<wchar_t> before(dest.get(), dest.get() + kTreePathUnits);

    size_t skip = size < kTreePathUnits ? size : kTreePathUnits;
    size_t length;
    std::unique_ptr<wchar_t[]> source = Text(data + skip, size - skip, length);
    uint32_t result = BoundedAppend(dest.get(), source.get());

    if (existing == kTreePathUnits) {
        FUZZ_CHECK(result == kInvalidArgument);
        FUZZ_CHECK(std::wmemcmp(dest.get(), before.data(), kTreePathUnits) == 0);
        return;
    }
    FUZZ_CHECK(std::wmemcmp(dest.get(), before.data(), existing) == 0);
    size_t room = kTreePathUnits - existing - 1;
    if (length <= room) {
        FUZZ_CHECK(result == kOk);
        FUZZ_CHECK(std::wcscmp(dest.get() + existing, source.get()) == 0);
    } else {
        FUZZ_CHECK(result == kInsufficientBuffer);
        FUZZ_CHECK(std::wmemcmp(dest.get() + existing, source.get(), room) == 0);
        FUZZ_CHECK(dest[kTreePathUnits - 1] == 0);
    }
}

// The registry buffer: `bytesRead` may be odd, short, exactly full or beyond the buffer.
void FuzzInstallRoot(size_t bytesRead, const uint8_t* data, size_t size) {
    std::unique_ptr<wchar_t[]> value(new wchar_t[kValueUnits]);
    for (size_t i = 0; i < kValueUnits; ++i) {
        // Units the registry wrote come from the input; the rest of the buffer is not zero,
        // so a rule that read beyond the data would see no terminator there.
        value[i] = 2 * i + 1 < size ? static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8)) : L'q';
    }
    std::vector<wchar_t> before(value.get(), value.get() + kValueUnits);
    bool accepted = InstallRootFromValue(value.get(), bytesRead);

    size_t units = bytesRead / 2;
    size_t n = 0;
    if (units <= kValueUnits)
        while (n < units && before[n] != 0) ++n;
    bool expected = units <= kValueUnits && n < kValueUnits && n > kRegisteredSuffixUnits;
    FUZZ_CHECK(accepted == expected);
    for (size_t i = 0; i < kValueUnits; ++i) {
        if (accepted && i == n - kRegisteredSuffixUnits)
            FUZZ_CHECK(value[i] == 0);
        else
            FUZZ_CHECK(value[i] == before[i]);
    }
}

// A resolved folder fits its capacity, never holds a "/", an empty, "." or ".." name or a name
// ending in a blank or dot, and resolves to itself; the system-folder check never reads beyond.
void FuzzFolderForComparison(size_t capacity, const uint8_t* data, size_t size) {
    size_t length;
    std::unique_ptr<wchar_t[]> path = Text(data, size, length);
    std::vector<wchar_t> out(capacity + 1, L'#');
    bool ok = FolderForComparison(path.get(), out.data(), capacity);
    FUZZ_CHECK(out[capacity] == L'#');
    SystemFolders folders;
    folders.exact[0] = path.get();
    folders.users = path.get();
    if (!ok) {
        FUZZ_CHECK(capacity == 0 || out[0] == 0);
        FUZZ_CHECK(IsSystemFolder(path.get(), folders));
        return;
    }
    std::wstring folder(out.data());
    FUZZ_CHECK(folder.size() < capacity && folder.back() == L'\\');
    FUZZ_CHECK(folder.find(L'/') == std::wstring::npos);
    FUZZ_CHECK(folder.find(L"\\.\\") == std::wstring::npos && folder.find(L" \\") == std::wstring::npos &&
               folder.find(L".\\") == std::wstring::npos);
    std::vector<wchar_t> again(capacity + 1, L'#');
    FUZZ_CHECK(FolderForComparison(folder.c_str(), again.data(), capacity) && folder == again.data());
    FUZZ_CHECK(IsSystemFolder(path.get(), folders));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint8_t operation = data[0] % 4;
    size_t number = data[1] | (data[2] << 8);
    data += 3;
    size -= 3;
    switch (operation) {
    case 0: FuzzCopy(1 + number % 600, data, size); break;
    case 1: FuzzAppend(number % (kTreePathUnits + 1), data, size); break;
    case 2: FuzzFolderForComparison(number % 300, data, size); break;
    default: FuzzInstallRoot(number % 2100, data, size); break;
    }
    return 0;
}
