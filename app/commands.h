#pragma once
#include <windows.h>

void HandleInstallCommand(HWND window);
void HandleCloseRequest(HWND window, WPARAM wParam, LPARAM lParam);
