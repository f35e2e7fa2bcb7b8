#pragma once
#include <windows.h>

enum class LinkLabel { Tutorial, Privacy, Licence };

// Replaces the label's window procedure with its link procedure.
void MakeLinkLabel(HWND label, LinkLabel which);
