#include "session/package_signature.h"

#include "base/raii.h"
#include "base/setup_state.h"
#include "session/signer_rules.h"

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

// The subject's one common name is the vendor's. A certificate with none or with several is
// refused: Windows would otherwise name it by another attribute, or by the first of them.
[[nodiscard]] bool SubjectIsVendor(const CERT_CONTEXT* certificate) {
    raii::unique_hlocal decoded;
    DWORD bytes = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, certificate->pCertInfo->Subject.pbData,
                             certificate->pCertInfo->Subject.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             static_cast<void*>(decoded.put()), &bytes))
        return false;
    const auto* name = static_cast<const CERT_NAME_INFO*>(decoded.get());
    const CERT_RDN_ATTR* common = nullptr;
    for (DWORD r = 0; r < name->cRDN; ++r) {
        for (DWORD a = 0; a < name->rgRDN[r].cRDNAttr; ++a) {
            const CERT_RDN_ATTR& attribute = name->rgRDN[r].rgRDNAttr[a];
            if (lstrcmpA(attribute.pszObjId, szOID_COMMON_NAME) != 0) continue;
            if (common) return false;
            common = &attribute;
        }
    }
    // Text types are decoded to UTF-16; any other type is no name.
    if (!common || (common->dwValueType & CERT_RDN_TYPE_MASK) < CERT_RDN_NUMERIC_STRING ||
        common->Value.cbData % sizeof(wchar_t))
        return false;
    return IsExactSigner(reinterpret_cast<const wchar_t*>(common->Value.pbData),
                         common->Value.cbData / sizeof(wchar_t), kPackageSigner);
}

[[nodiscard]] bool SignerIsVendor(HANDLE trustState, LONG answer) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(trustState);
    if (!provider) return false;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (!signer || signer->csCertChain == 0 || !signer->pasCertChain || !signer->pasCertChain[0].pCert)
        return false;
    // The chain's own status says again what the verdict says, where a platform's policy is
    // laxer; and it tells an unreachable revocation server from a revoked certificate.
    const CERT_CHAIN_CONTEXT* chain = signer->pChainContext;
    return chain && TrustVerdictAccepted(answer, chain->TrustStatus.dwErrorStatus) &&
           SubjectIsVendor(signer->pasCertChain[0].pCert);
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
    // Windows may fetch what the chain needs (a root it installs on first use, a missing
    // intermediate) and ask whether a certificate was revoked; its URL retrieval is bounded by
    // the system's defaults (15 s a URL, 20 s for revocation in all), and an offline machine
    // fails each at once. A revoked certificate is refused; an unanswered question is not.
    trust.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    trust.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE); // no user interface at all
    LONG answer = WinVerifyTrust(noWindow, &action, &trust);
    bool valid = trust.hWVTStateData && SignerIsVendor(trust.hWVTStateData, answer);
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    (void)WinVerifyTrust(noWindow, &action, &trust);
    return valid;
}
