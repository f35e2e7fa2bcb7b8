#include "session/progress_rules.h"

#include "base/format_bounded.h"
#include "look/texts.h"

#include <climits>

namespace progress {

int32_t SecondsLeft(uint32_t bytesLeft, double speedKbPerSec) {
    double seconds = static_cast<double>(bytesLeft) * (1.0 / 1024.0) / speedKbPerSec;
    if (!(seconds < 2147483647.0)) return INT32_MAX; // also catches NaN and infinity
    if (seconds <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(seconds);
}

void FormatDetail(wchar_t* out, double speedKbPerSec, uint32_t bytesLeft) {
    int32_t secondsLeft = SecondsLeft(bytesLeft, speedKbPerSec);
    int32_t timeLeft = secondsLeft;
    const wchar_t* timeUnit = text::kSeconds;
    if (secondsLeft > 100) {
        timeLeft = secondsLeft / 60;
        timeUnit = text::kMinutes;
    }
    double speed = speedKbPerSec;
    const wchar_t* speedUnit = text::kKilobytesPerSecond;
    if (speed > 1024.0) {
        speed = speed * (1.0 / 1024.0);
        speedUnit = text::kMegabytesPerSecond;
    }
    // A line too long for its buffer (an absurd speed, say) stays empty rather than cut.
    static_cast<void>(
        FormatBounded(out, kTextUnits, text::kDownloadDetail, speed, speedUnit, timeLeft, timeUnit));
}

double AverageSpeed(double kilobytes, int64_t elapsedSeconds) {
    if (elapsedSeconds <= 0) return 0.0;
    return kilobytes / static_cast<double>(elapsedSeconds);
}

Effects ApplyProgress(Figures& f, uint32_t progress, uint32_t maximum, Clock& clock) {
    Effects e;
    if (maximum == 0) return e;

    f.fraction = static_cast<double>(progress) / static_cast<double>(maximum);
    double percentValue = f.fraction * 100.0;
    // Progress far beyond the maximum would not fit the 32-bit percentage; hold it there.
    int32_t percent = percentValue >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(percentValue);
    if (percent != f.lastPercent) {
        static_cast<void>(FormatBounded(e.statusText, kTextUnits, text::kDownloadPercent, percent));
        f.lastPercent = percent;
        e.statusChanged = true;
    }

    if (f.lastSampleTime == 0) {
        f.lastSampleTime = clock.Now();
    } else {
        int64_t elapsed = clock.Now() - f.lastSampleTime;
        if (elapsed > 2) {
            double kilobytes =
                static_cast<double>(static_cast<uint32_t>(progress - f.bytesAtLastSample)) * (1.0 / 1024.0);
            double speed = kilobytes / static_cast<double>(elapsed);
            if (speed > 0.0) {
                FormatDetail(e.detailText, speed, static_cast<uint32_t>(maximum - progress));
                e.detailChanged = true;
            }
            f.lastSampleTime = clock.Now();
            f.bytesAtLastSample = progress;
        }
    }

    int64_t sinceStart = clock.Now() - f.createdAt;
    if (sinceStart > 5) e.expand = true;
    f.totalBytes = maximum;
    return e;
}

namespace {
class StillClock final : public Clock {
public:
    explicit StillClock(int64_t now) : now_(now) {}
    int64_t Now() override { return now_; }

private:
    int64_t now_;
};
} // namespace

Effects ApplyProgress(Figures& f, uint32_t progress, uint32_t maximum, int64_t now) {
    StillClock clock(now);
    return ApplyProgress(f, progress, maximum, clock);
}

} // namespace progress
