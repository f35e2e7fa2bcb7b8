#pragma once
// The rules of the package's signature verdict that need no Windows: the signer's name and the
// answers of the trust check that count as trusted.
#include <cstddef>
#include <cstdint>

// True when the certificate's common name, as decoded (count units), is exactly the expected
// signer: the same units in the same order, the whole length, no zero unit but a last one (Wine's
// decoder counts the terminator it adds, Windows' does not). No linguistic comparison: it would
// let case, ignorable characters (a soft hyphen, zero-width marks) or what follows an embedded
// zero through.
[[nodiscard]] bool IsExactSigner(const wchar_t* units, size_t count, const wchar_t* expected);

constexpr int32_t kTrustOk = 0;
constexpr int32_t kRevocationFailure = static_cast<int32_t>(0x800B010E); // CERT_E_REVOCATION_FAILURE
constexpr uint32_t kRevocationUnknown = 0x00000040; // CERT_TRUST_REVOCATION_STATUS_UNKNOWN
constexpr uint32_t kOfflineRevocation = 0x01000000; // CERT_TRUST_IS_OFFLINE_REVOCATION
constexpr uint32_t kChainFaults = 0x00000004 | 0x00000008 | 0x00000020 | 0x00000080 | 0x00010000;
// (revoked, signature not valid, untrusted root, cyclic, partial chain)

// Whether the trust check's answer and the signer chain's error status make the package
// trusted: a clean answer over a chain without faults, or an answer that only says revocation
// could not be learnt (no server reached), over a chain whose only faults are exactly that.
// A certificate known to be revoked is never trusted.
[[nodiscard]] bool TrustVerdictAccepted(int32_t answer, uint32_t chainStatus);
