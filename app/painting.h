#pragma once
#include <windows.h>

// Paints the whole face of the main window from the current status (or the welcome texts).
void PaintMainWindow(HWND window);
