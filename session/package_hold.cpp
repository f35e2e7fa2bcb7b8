#include "session/package_hold.h"

#include "base/raii.h"
#include "base/setup_state.h"

#include <cstring>

namespace {
// HKLM: only administrators may write there.
constexpr const wchar_t* kRecordKey = L"SOFTWARE\\Halvaren\\MORVELT Web Installer";
constexpr const wchar_t* kRecordValue = L"PackageSha256";
constexpr DWORD kDigestBytes = 32;
constexpr DWORD kChunkBytes = 64 * 1024;

[[nodiscard]] bool HashHeldPackage(BYTE (&digest)[kDigestBytes]) {
    HANDLE file = g_setup.heldPackage.get();
    if (!file) return false;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    raii::unique_hcryptprov provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    raii::unique_hcrypthash hash;
    if (!CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.put())) return false;
    raii::heap_bytes chunk(kChunkBytes);
    if (!chunk) return false;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk.get(), kChunkBytes, &read, nullptr)) return false;
        if (read == 0) break;
        if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(chunk.get()), read, 0)) return false;
    }
    DWORD length = kDigestBytes;
    return CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &length, 0) && length == kDigestBytes;
}
} // namespace

bool HoldPackage() {
    ReleasePackageHold();
    raii::unique_hfile file(CreateFileW(g_setup.packagePath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    g_setup.heldPackage.reset(file.release());
    return true;
}

void ReleasePackageHold() { g_setup.heldPackage.reset(); }

void RecordPackageForRestart() {
    BYTE digest[kDigestBytes];
    if (!HashHeldPackage(digest)) return;
    raii::unique_hkey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    (void)RegSetValueExW(key.get(), kRecordValue, 0, REG_BINARY, digest, kDigestBytes);
}

bool HeldPackageIsRecorded() {
    raii::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return false;
    BYTE recorded[kDigestBytes] = {};
    DWORD type = 0;
    DWORD bytes = sizeof recorded;
    bool read =
        RegQueryValueExW(key.get(), kRecordValue, nullptr, &type, recorded, &bytes) == ERROR_SUCCESS &&
        type == REG_BINARY && bytes == kDigestBytes;
    (void)RegDeleteValueW(key.get(), kRecordValue);
    BYTE digest[kDigestBytes];
    return read && HashHeldPackage(digest) && std::memcmp(digest, recorded, kDigestBytes) == 0;
}
