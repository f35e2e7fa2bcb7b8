#pragma once
#include <windows.h>

constexpr int kInstallCommand = 104;

void HandleInstallCommand(HWND window);
LRESULT HandleCloseRequest(HWND window, WPARAM wParam, LPARAM lParam);
