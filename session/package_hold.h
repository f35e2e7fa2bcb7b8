#pragma once
// The package file, held from the moment it is checked until its process has started, and
// the record that lets the run after a restart reuse exactly that file.
#include <windows.h>

// Opens the package readable by others, but neither writable nor deletable, so no other
// program can swap the file that was checked. False when it cannot be opened so.
[[nodiscard]] bool HoldPackage();

// Closes the hold (any thread; whoever takes the handle closes it).
void ReleasePackageHold();

// Records the held package's SHA-256 where only administrators can write, for the run that
// resumes after the restart.
void RecordPackageForRestart();

// Whether the held package is the one recorded before the restart. The record is used once:
// it is removed whatever the answer.
[[nodiscard]] bool HeldPackageIsRecorded();
