#pragma once
// The machine's own folders, which no registered installation root may name.
#include <windows.h>

// True when the root names the Windows or a system folder, a Program Files folder, the users
// folder or a profile's root: as written, or with its short (8.3) names expanded.
[[nodiscard]] bool NamesSystemFolder(const wchar_t* root);
