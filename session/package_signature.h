#pragma once
// The vendor's signature on the package, checked on the held file before it runs.

// True when no signer is configured for this build, or when the held package carries a valid
// Authenticode signature that chains to a trusted root and whose signer's common name is the
// vendor's. False for anything else, also when nothing is held.
[[nodiscard]] bool HeldPackageSignedByVendor();
