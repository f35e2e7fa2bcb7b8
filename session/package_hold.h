#pragma once
// The package file, held from the moment it is checked until its process has started, and
// the record that lets the run after a restart reuse exactly that file.
#include <windows.h>

// Opens the package readable by others, but neither writable nor deletable, so no other
// program can swap the file that was checked. A program that still has the fresh file open
// (a scanner checking it) is given about a second. False when it cannot be opened so.
[[nodiscard]] bool HoldPackage();

// Closes the hold (any thread; whoever takes the handle closes it).
void ReleasePackageHold();

constexpr DWORD kDigestBytes = 32;
struct PackageDigest {
    bool present = false;
    BYTE bytes[kDigestBytes] = {};
    wchar_t path[MAX_PATH] = {}; // where it was, with the record from before a restart
};

// The held package's SHA-256; absent when there is no hold or it cannot be read. Reads the
// whole file: seconds for a large package.
[[nodiscard]] PackageDigest DigestOfHeldPackage();

// Whether the held file is a Windows program this machine can start (its headers, processor,
// subsystem, and sizes that fit the file). False also when nothing is held.
[[nodiscard]] bool HeldPackageIsProgram();

// Records the digest and the package path for the run that resumes after the restart, in a key only
// administrators may change. Nothing is recorded when the key cannot be given that protection.
void RecordPackageForRestart(const PackageDigest& digest);

// The record from before the restart, removed as it is read: it is used once, whatever the
// attempt then decides.
[[nodiscard]] PackageDigest TakeRecordedPackage();

// Whether the held package is the recorded one.
[[nodiscard]] bool HeldPackageMatches(const PackageDigest& recorded);
