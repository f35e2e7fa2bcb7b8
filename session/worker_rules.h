#pragma once
// Text rules of the install worker.
#include <cstdint>

// The package's own setup window: a title holding both "MORVELT " and " Setup".
bool IsSetupWindowTitle(const wchar_t* title);

// Average download speed in kB/s reported when the package has arrived.
double DownloadFinishedSpeed(uint32_t totalBytes, int64_t startTime, int64_t now);

// Waits until done() holds, at most budgetMs as measured by nowMs(), a monotonic clock in
// milliseconds; pause() sleeps a little between looks. The budget is real elapsed time, never
// a count of pauses: a sleep lasts at least a whole timer tick (15.6 ms by default on
// Windows), so counting sleeps of 10 ms would overrun it by half. Answers whether done() held.
template <class Done, class Now, class Pause>
[[nodiscard]] bool WaitWithin(uint64_t budgetMs, Done done, Now nowMs, Pause pause) {
    const uint64_t start = nowMs();
    while (!done()) {
        if (nowMs() - start >= budgetMs) return false;
        pause();
    }
    return true;
}

// What is left of budgetMs at nowMs for a wait that began at startMs (0 once it is spent, or
// when the clock reads before the start).
uint64_t BudgetLeft(uint64_t budgetMs, uint64_t startMs, uint64_t nowMs);
