#include "session/signer_rules.h"

bool IsExactSigner(const wchar_t* units, size_t count, const wchar_t* expected) {
    if (!units || !expected) return false;
    if (count > 0 && units[count - 1] == 0) --count;
    for (size_t i = 0; i < count; ++i)
        if (units[i] == 0 || expected[i] != units[i]) return false;
    return count > 0 && expected[count] == 0;
}

bool TrustVerdictAccepted(int32_t answer, uint32_t chainStatus) {
    if (answer == kTrustOk) return (chainStatus & kChainFaults) == 0;
    return answer == kRevocationFailure && (chainStatus & kRevocationUnknown) &&
           (chainStatus & ~(kRevocationUnknown | kOfflineRevocation)) == 0;
}
