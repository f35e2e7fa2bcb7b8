#pragma once
// The worker's way into a restart: the continuation after it, and the question.
#include <windows.h>

// Files of the old installation go only at the next start: the held package is recorded and
// the resume script written first, and only then is the window put in the restart-pending
// state and the user asked, so that a close in between still asks and an abort still undoes.
void TakeRestartPath(HWND window);

// Asks whether to restart now and restarts on Yes, unless an abort came first.
void AskToRestart(HWND window, const wchar_t* question);

// After an abort: removes the resume script and the package record this process wrote, so
// that nothing continues the aborted installation at the next logon.
void UndoRestartPath();
