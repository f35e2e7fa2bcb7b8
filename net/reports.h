#pragma once
#include <windows.h>

#include "net/report_rules.h"

// Sends one event report and returns when it was sent or failed; nobody learns which.
void ReportEvent(EventCode code, const wchar_t* extras);

// The closing program's report: sent on a thread of its own and waited for at most
// timeoutMs, so that a server which accepts the connection and never answers cannot keep a
// hidden window's process alive. One such report per process.
void ReportEventWithin(EventCode code, const wchar_t* extras, DWORD timeoutMs);

// Thread procedure: the start parameter is the event code.
DWORD WINAPI ReportThread(LPVOID code);

// Starts a detached ReportThread for the code.
void StartReportThread(EventCode code);
