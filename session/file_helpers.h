#pragma once
#include <windows.h>

// True when a directory search for the path finds an entry (wildcards match as in a search).
[[nodiscard]] bool EntryExists(const wchar_t* path);

// Deletes the file now (true) or registers it for deletion at the next restart (false).
bool DeleteOrSchedule(const wchar_t* path);

// Deletes or schedules everything inside the folder, depth first; the folder stays.
// An entry whose full path does not fit is left alone: it is never touched under a
// shortened name.
void DeleteTreeContents(const wchar_t* folder);
