#pragma once
#include <windows.h>

// Thread procedure of one install attempt; the parameter is the main window. Started by the
// user-interface thread through g_setup.worker.
DWORD WINAPI InstallWorker(LPVOID mainWindow);
