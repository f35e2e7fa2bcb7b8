#pragma once
// The one rule for system DLLs loaded by name after the start, and the hooks of the toolchain's
// delay-load helper that apply it to the delay-imported DLLs (delay_load.cpp).
#include <windows.h>

// The system folder's DLL of that name, loaded (or found loaded); nullptr when there is none. Never
// the default search: a web installer runs from the Downloads folder, where a DLL of the same name
// may have been planted, and the default search would look there first.
HMODULE LoadFromSystemFolder(const wchar_t* name);
