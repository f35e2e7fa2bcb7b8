#pragma once
// Where the package lives: a folder of this run's own in the Windows folder's Temp that only
// administrators and the system may change. The user's TEMP is the user's: any of the user's
// programs can put a file under the package's name there, or re-point a link on the way to it
// between the check and the start, and the package starts with administrator rights.

// Makes the folder, once per run, and points the package path into it. False when it cannot be
// made new with that protection: a folder of its name that someone else made first is never
// taken over.
[[nodiscard]] bool PreparePackageFolder();

// Takes the package path recorded before a restart, when its folder is still a plain folder
// owned by the administrators or the system. False leaves the package path as it was.
[[nodiscard]] bool AdoptPackageFolder(const wchar_t* recordedPath);

// Deletes the package file and its folder; what is in use stays (the close paths).
void DiscardPackage();
