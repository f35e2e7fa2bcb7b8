#include "session/package_hold.h"

#include "base/raii.h"
#include "base/setup_state.h"
#include "session/program_image_rules.h"
#include "session/worker_rules.h"

#include <sddl.h>

#include <cstring>

namespace {
// HKLM: only administrators may write there, and the key's own list says so again, so an
// inherited or earlier list cannot let anyone else plant a digest.
constexpr const wchar_t* kRecordKey = L"SOFTWARE\\Halvaren\\MORVELT Web Installer";
constexpr const wchar_t* kRecordValue = L"PackageSha256";
constexpr const wchar_t* kRecordPathValue = L"PackagePath";
constexpr const wchar_t* kAdministratorsOnly = L"D:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)";
constexpr DWORD kChunkBytes = 64 * 1024;
// A scanner that opened the fresh file for writing lets go within this time.
constexpr uint64_t kHoldRetryMs = 1000;
constexpr DWORD kHoldRetryPauseMs = 50;

[[nodiscard]] bool OpenHold() {
    raii::unique_hfile file(CreateFileW(g_setup.packagePath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    g_setup.heldPackage.reset(file.release());
    return true;
}

// The processor this machine runs programs of natively.
uint16_t NativeMachine() {
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) return kMachineAmd64;
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64) return kMachineArm64;
    return kMachineI386;
}

[[nodiscard]] bool StillInUse() {
    DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

[[nodiscard]] bool ProtectRecordKey(HKEY key) {
    raii::unique_hlocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kAdministratorsOnly, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
            nullptr))
        return false;
    return RegSetKeySecurity(key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             descriptor.get()) == ERROR_SUCCESS;
}
} // namespace

bool HoldPackage() {
    ReleasePackageHold();
    bool held = false;
    (void)WaitWithin(
        kHoldRetryMs, [&held] { return (held = OpenHold()) || !StillInUse(); },
        [] { return GetTickCount64(); }, [] { Sleep(kHoldRetryPauseMs); });
    return held;
}

void ReleasePackageHold() { g_setup.heldPackage.reset(); }

bool HeldPackageIsProgram() {
    HANDLE file = g_setup.heldPackage.get();
    LARGE_INTEGER size{};
    LARGE_INTEGER start{};
    if (!file || !GetFileSizeEx(file, &size) || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    uint8_t head[kImageHeadBytes];
    DWORD read = 0;
    if (!ReadFile(file, head, sizeof head, &read, nullptr)) return false;
    return IsStartableProgram(head, read, static_cast<uint64_t>(size.QuadPart), NativeMachine());
}

PackageDigest DigestOfHeldPackage() {
    PackageDigest result;
    HANDLE file = g_setup.heldPackage.get();
    if (!file) return result;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return result;
    raii::unique_hcryptprov provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return result;
    raii::unique_hcrypthash hash;
    if (!CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.put())) return result;
    raii::heap_bytes chunk(kChunkBytes);
    if (!chunk) return result;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk.get(), kChunkBytes, &read, nullptr)) return result;
        if (read == 0) break;
        if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(chunk.get()), read, 0)) return result;
    }
    DWORD length = kDigestBytes;
    result.present =
        CryptGetHashParam(hash.get(), HP_HASHVAL, result.bytes, &length, 0) && length == kDigestBytes;
    return result;
}

void RecordPackageForRestart(const PackageDigest& digest) {
    if (!digest.present) return;
    raii::unique_hkey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, KEY_SET_VALUE | WRITE_DAC, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return;
    if (!ProtectRecordKey(key.get())) return;
    if (RegSetValueExW(key.get(), kRecordPathValue, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(g_setup.packagePath),
                       (lstrlenW(g_setup.packagePath) + 1) * sizeof(wchar_t)) == ERROR_SUCCESS)
        (void)RegSetValueExW(key.get(), kRecordValue, 0, REG_BINARY, digest.bytes, kDigestBytes);
}

PackageDigest TakeRecordedPackage() {
    PackageDigest recorded;
    raii::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return recorded;
    DWORD type = 0;
    DWORD bytes = kDigestBytes;
    recorded.present =
        RegQueryValueExW(key.get(), kRecordValue, nullptr, &type, recorded.bytes, &bytes) == ERROR_SUCCESS &&
        type == REG_BINARY && bytes == kDigestBytes;
    bytes = sizeof recorded.path - sizeof(wchar_t); // the last unit stays the terminator
    recorded.present = recorded.present &&
                       RegQueryValueExW(key.get(), kRecordPathValue, nullptr, &type,
                                        reinterpret_cast<BYTE*>(recorded.path), &bytes) == ERROR_SUCCESS &&
                       type == REG_SZ;
    (void)RegDeleteValueW(key.get(), kRecordValue);
    (void)RegDeleteValueW(key.get(), kRecordPathValue);
    return recorded;
}

bool HeldPackageMatches(const PackageDigest& recorded) {
    if (!recorded.present) return false;
    PackageDigest digest = DigestOfHeldPackage();
    return digest.present && std::memcmp(digest.bytes, recorded.bytes, kDigestBytes) == 0;
}
