#pragma once
// Event codes, report targets and the per-thread query number.
#include <cstdint>

enum EventCode : int32_t {
    InstallStarted = 0,
    SetupStarted = 1,
    DownloadFinished = 2,
    InstallSucceeded = 3,
    InstallFailed = 4,
    ClosedAfterSuccess = 5,
    ClosedWithLaunch = 6,
    AbortedDuringDownload = 7,
    AbortedDuringInstall = 8,
    AbortedOther = 9,
    TutorialOpened = 10,
};

constexpr int kTargetUnits = 2048;
constexpr int kExtraUnits = 100;

// Next value of the calling thread's own sequence; every thread starts at the same state,
// so its first value is 41.
int NextRandom();

// One step of the sequence, for a given state (the thread-local draw above uses it).
int RandomStep(uint32_t& state);

// The report's request target; extras (or nullptr) are appended unchanged behind the type.
[[nodiscard]] int BuildReportTarget(wchar_t* out, int r, const wchar_t* sessionId, EventCode code,
                                    const wchar_t* extras);

[[nodiscard]] int BuildLookupTarget(wchar_t* out, int r);

// "&speed=%10.3f", "&code=%d" and "&speed=%10.3f&comp=%d" into 100 units.
[[nodiscard]] int FormatSpeedExtra(wchar_t* out, double speedKbPerSec);
[[nodiscard]] int FormatCodeExtra(wchar_t* out, int32_t code);
[[nodiscard]] int FormatAbortExtra(wchar_t* out, double speedKbPerSec, int32_t lastPercent);
