#pragma once
#include <shobjidl.h>

// The desktop's folder view, found through the shell's window collection (or nothing).
void FindDesktopShellView(IShellView** view);

// Asks the desktop shell, which runs with the user's ordinary rights, to open the file or web
// address with its default operation, in the given working folder (may be empty). False when
// no desktop shell could be asked: then nothing is opened, since anything this elevated
// process started itself would run with administrator rights.
[[nodiscard]] bool OpenThroughDesktopShell(const wchar_t* file, const wchar_t* directory);

// Asks the desktop shell to start the program in its own folder.
void LaunchUnelevated(const wchar_t* productExePath);
