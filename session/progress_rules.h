#pragma once
// What one progress notification of the package download does to the status figures.
// Times are whole seconds of calendar time; sizes are unsigned 32-bit byte counts.
#include <cstdint>

namespace progress {

constexpr int kTextUnits = 100;

struct Figures {
    int32_t lastPercent = -1;
    uint32_t bytesAtLastSample = 0;
    uint32_t totalBytes = 0;
    int64_t createdAt = 0;
    double fraction = 0.0;
    int64_t lastSampleTime = 0; // 0: no sample yet
};

struct Effects {
    bool statusChanged = false; // statusText rewritten: invalidate the status band
    bool detailChanged = false; // detailText rewritten: invalidate the detail line
    bool expand = false;        // more than 5 s since the attempt began
    wchar_t statusText[kTextUnits] = {};
    wchar_t detailText[kTextUnits] = {};
};

// The calendar clock in whole seconds. A progress call reads it more than once: the new
// sample reference and the expansion test take the time as it is by then, not as it was
// when the call began.
class Clock {
public:
    virtual int64_t Now() = 0;

protected:
    ~Clock() = default;
};

// Applies one sized or unsized progress call (maximum 0 changes nothing).
Effects ApplyProgress(Figures& figures, uint32_t progress, uint32_t maximum, Clock& clock);

// The same with a clock that stands still at `now` (whole seconds).
Effects ApplyProgress(Figures& figures, uint32_t progress, uint32_t maximum, int64_t now);

// The "(speed unit, Time Left: n unit)" line for a speed in kB/s and the bytes still to come.
// Seconds left beyond the signed 32-bit range are held at its maximum.
void FormatDetail(wchar_t* out, double speedKbPerSec, uint32_t bytesLeft);

// Whole seconds left, truncated, held within [INT32_MIN, INT32_MAX].
int32_t SecondsLeft(uint32_t bytesLeft, double speedKbPerSec);

// Average speed in kB/s for `bytes` over `elapsed` whole seconds. With no whole second
// elapsed (or a clock that went back) there is nothing to divide by: the answer is 0.
double AverageSpeed(double kilobytes, int64_t elapsedSeconds);

} // namespace progress
