#pragma once
#include <windows.h>

// True when a directory search for the path finds an entry (wildcards match as in a search).
[[nodiscard]] bool EntryExists(const wchar_t* path);

// Deletes the file now (true) or registers it for deletion at the next restart (false).
[[nodiscard]] bool DeleteOrSchedule(const wchar_t* path);

// True for a folder that is a link (junction or symbolic link) to a folder elsewhere.
[[nodiscard]] bool IsFolderLink(DWORD attributes);

// Removes a folder link as a link, never what it points to: now (true), or registered for
// deletion at the next restart (false).
[[nodiscard]] bool RemoveFolderLinkOrSchedule(const wchar_t* path);

// Removes every folder link below the folder, as links. True when none is left and every
// entry could be looked at, so that a deletion that follows links (some shells do) cannot
// reach outside the folder.
[[nodiscard]] bool RemoveFolderLinksInside(const wchar_t* folder);

// Deletes or schedules everything inside the folder, depth first; the folder stays.
// An entry whose full path does not fit is left alone: it is never touched under a
// shortened name. A folder link is removed as a link and never descended into.
void DeleteTreeContents(const wchar_t* folder);
