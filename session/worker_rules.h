#pragma once
// Text rules of the install worker.
#include <cstdint>

// The package's own setup window: a title holding both "MORVELT " and " Setup".
bool IsSetupWindowTitle(const wchar_t* title);

// Average download speed in kB/s reported when the package has arrived.
double DownloadFinishedSpeed(uint32_t totalBytes, int64_t startTime, int64_t now);
