#pragma once
#include <windows.h>

void RegisterMainClass(HINSTANCE instance);
[[nodiscard]] bool CreateMainWindow(HINSTANCE instance, int showCommand);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
