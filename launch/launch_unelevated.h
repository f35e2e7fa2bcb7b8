#pragma once
#include <shobjidl.h>

// The desktop's folder view, found through the shell's window collection (or nothing).
void FindDesktopShellView(IShellView** view);

// Asks the desktop shell, which runs with the user's ordinary rights, to start the program.
void LaunchUnelevated(const wchar_t* productExePath);
