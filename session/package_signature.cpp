#include "session/package_signature.h"

#include "base/setup_state.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#ifndef MORVELT_PACKAGE_SIGNER
#error "MORVELT_PACKAGE_SIGNER comes from the build settings"
#endif

namespace {
// The common name of the vendor's code-signing certificate: the name Windows shows as the
// verified publisher. Empty: this build runs the package unchecked.
constexpr const wchar_t* kPackageSigner = MORVELT_PACKAGE_SIGNER;
constexpr DWORD kNameUnits = 256;
constexpr DWORD kChainFaults = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                               CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_REVOKED |
                               CERT_TRUST_IS_CYCLIC;

[[nodiscard]] bool SignerIsVendor(HANDLE trustState) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(trustState);
    if (!provider) return false;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (!signer || signer->csCertChain == 0 || !signer->pasCertChain || !signer->pasCertChain[0].pCert)
        return false;
    // The chain the check built must end in a trusted root. Windows' verdict already says so;
    // the chain's own status says it again where a platform's policy is laxer.
    const CERT_CHAIN_CONTEXT* chain = signer->pChainContext;
    if (!chain || (chain->TrustStatus.dwErrorStatus & kChainFaults)) return false;
    wchar_t name[kNameUnits] = {};
    DWORD units = CertGetNameStringW(signer->pasCertChain[0].pCert, CERT_NAME_ATTR_TYPE, 0,
                                     const_cast<char*>(szOID_COMMON_NAME), name, kNameUnits);
    return units > 1 && units < kNameUnits && lstrcmpW(name, kPackageSigner) == 0;
}
} // namespace

bool HeldPackageSignedByVendor() {
    if (kPackageSigner[0] == 0) return true;
    HANDLE file = g_setup.heldPackage.get();
    LARGE_INTEGER start{};
    if (!file || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;

    // The handle is what is checked: the file the hold keeps is the file that will be started.
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = g_setup.packagePath;
    fileInfo.hFile = file;
    WINTRUST_DATA trust{};
    trust.cbStruct = sizeof trust;
    trust.dwUIChoice = WTD_UI_NONE;
    // No revocation look-up and nothing fetched for the chain: on an offline machine or behind
    // a captive portal either would wait for the network's time-outs while the user waits.
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE); // no user interface at all
    bool valid =
        WinVerifyTrust(noWindow, &action, &trust) == ERROR_SUCCESS && SignerIsVendor(trust.hWVTStateData);
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    (void)WinVerifyTrust(noWindow, &action, &trust);
    return valid;
}
