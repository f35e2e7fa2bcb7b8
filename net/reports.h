#pragma once
#include <windows.h>

#include "net/report_rules.h"

// Sends one event report and returns when it was sent or failed; nobody learns which.
void ReportEvent(EventCode code, const wchar_t* extras);

// Thread procedure: the start parameter is the event code.
DWORD WINAPI ReportThread(LPVOID code);

// Starts a detached ReportThread for the code.
void StartReportThread(EventCode code);
