#include "session/worker_rules.h"

#include "session/progress_rules.h"

#include <cwchar>

bool IsSetupWindowTitle(const wchar_t* title) {
    return std::wcsstr(title, L"MORVELT ") != nullptr && std::wcsstr(title, L" Setup") != nullptr;
}

double DownloadFinishedSpeed(uint32_t totalBytes, int64_t startTime, int64_t now) {
    return progress::AverageSpeed(static_cast<double>(totalBytes) * (1.0 / 1024.0), now - startTime);
}

uint64_t BudgetLeft(uint64_t budgetMs, uint64_t startMs, uint64_t nowMs) {
    if (nowMs < startMs) return 0;
    uint64_t spent = nowMs - startMs;
    return spent < budgetMs ? budgetMs - spent : 0;
}
