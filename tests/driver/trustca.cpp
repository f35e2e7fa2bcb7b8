// trustca <cert.der>: adds a DER certificate to the user's Root store of this prefix, so that
// WinHTTP and the download service trust servers whose chain ends in it. Not the machine's: Wine 10
// keeps the machine's Root key as a mirror of the host's certificates and, once it differs from what
// it last imported, deletes it and imports the host's again. Both Wines build chains over the user's
// and the machine's Root stores, as Windows does.
// Prints {"added":true} or the failing step with its error code; exit code 0 on success.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "base/raii.h"

namespace {

int Fail(const char* step) {
    std::printf("{\"added\":false,\"step\":\"%s\",\"error\":%lu}\n", step, GetLastError());
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trustca <cert.der>\n");
        return 2;
    }
    std::vector<BYTE> der;
    DWORD got = 0;
    BOOL read = FALSE;
    {
        raii::unique_hfile file(
            CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) return Fail("open");
        der.resize(GetFileSize(file.get(), nullptr));
        read = ReadFile(file.get(), der.data(), static_cast<DWORD>(der.size()), &got, nullptr);
    }
    if (!read || got != der.size() || der.empty()) return Fail("read");

    BOOL added = FALSE;
    DWORD error = 0;
    {
        raii::unique_hcertstore root(
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
        if (!root) return Fail("CertOpenStore");
        added = CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        error = GetLastError();
    }
    if (!added) {
        SetLastError(error);
        return Fail("CertAddEncodedCertificateToStore");
    }
    std::printf("{\"added\":true}\n");
    return 0;
}
