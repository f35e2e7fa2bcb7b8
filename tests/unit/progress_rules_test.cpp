#include "session/progress_rules.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using progress::ApplyProgress;
using progress::Effects;
using progress::Figures;

constexpr int64_t kCreated = 1700000000; // the status object's construction, in seconds
constexpr uint32_t kKiB = 1024;

Figures Fresh() {
    Figures f;
    f.createdAt = kCreated;
    return f;
}

std::wstring Detail(double speed, uint32_t bytesLeft) {
    wchar_t out[progress::kTextUnits];
    progress::FormatDetail(out, speed, bytesLeft);
    return out;
}

TEST(ProgressStatusLine, UnsizedCallsChangeNothing) {
    Figures f = Fresh();
    f.totalBytes = 777;
    Effects e = ApplyProgress(f, 500, 0, kCreated + 10);
    EXPECT_FALSE(e.statusChanged || e.detailChanged || e.expand);
    EXPECT_EQ(f.totalBytes, 777u);
    EXPECT_EQ(f.lastPercent, -1);
    EXPECT_EQ(f.lastSampleTime, 0);
    EXPECT_EQ(f.fraction, 0.0);
}

TEST(ProgressStatusLine, FirstSizedCallWritesThePercentage) {
    Figures f = Fresh();
    Effects e = ApplyProgress(f, 0, 1000, kCreated);
    EXPECT_TRUE(e.statusChanged);
    EXPECT_STREQ(e.statusText, L"Downloading MORVELT... 0%");
    EXPECT_EQ(f.lastPercent, 0);
    EXPECT_EQ(f.totalBytes, 1000u);
    EXPECT_EQ(f.fraction, 0.0);
}

TEST(ProgressStatusLine, RewrittenOnlyWhenTheWholePercentChanges) {
    Figures f = Fresh();
    (void)ApplyProgress(f, 0, 1000, kCreated);
    Effects same = ApplyProgress(f, 9, 1000, kCreated); // 0.9 %
    EXPECT_FALSE(same.statusChanged);
    EXPECT_DOUBLE_EQ(f.fraction, 0.009);
    Effects next = ApplyProgress(f, 10, 1000, kCreated);
    EXPECT_TRUE(next.statusChanged);
    EXPECT_STREQ(next.statusText, L"Downloading MORVELT... 1%");
    Effects truncated = ApplyProgress(f, 999, 1000, kCreated);
    EXPECT_STREQ(truncated.statusText, L"Downloading MORVELT... 99%");
    Effects done = ApplyProgress(f, 1000, 1000, kCreated);
    EXPECT_STREQ(done.statusText, L"Downloading MORVELT... 100%");
    EXPECT_EQ(f.lastPercent, 100);
}

TEST(ProgressStatusLine, ProgressBeyondTheMaximumIsShownAsItComes) {
    Figures f = Fresh();
    Effects e = ApplyProgress(f, 1500, 1000, kCreated);
    EXPECT_STREQ(e.statusText, L"Downloading MORVELT... 150%");
    // A ratio beyond the 32-bit range is held at its largest value.
    Effects huge = ApplyProgress(f, UINT32_MAX, 1, kCreated);
    EXPECT_STREQ(huge.statusText, L"Downloading MORVELT... 2147483647%");
    EXPECT_EQ(f.lastPercent, INT32_MAX);
}

TEST(ProgressDetailLine, SamplesAtMostOncePerThreeSeconds) {
    Figures f = Fresh();
    const uint32_t max = 23040000;
    Effects first = ApplyProgress(f, 0, max, kCreated);
    EXPECT_FALSE(first.detailChanged);
    EXPECT_EQ(f.lastSampleTime, kCreated);

    Effects twoSeconds = ApplyProgress(f, 1000 * kKiB, max, kCreated + 2);
    EXPECT_FALSE(twoSeconds.detailChanged);
    EXPECT_EQ(f.lastSampleTime, kCreated);
    EXPECT_EQ(f.bytesAtLastSample, 0u);

    // 1500 kB in 3 s is 500 kB/s; 21000 kB to go is 42 s.
    Effects threeSeconds = ApplyProgress(f, 1500 * kKiB, max, kCreated + 3);
    EXPECT_TRUE(threeSeconds.detailChanged);
    EXPECT_STREQ(threeSeconds.detailText, L"(500.0 kB/sec, Time Left: 42 secs)");
    EXPECT_EQ(f.lastSampleTime, kCreated + 3);
    EXPECT_EQ(f.bytesAtLastSample, 1500 * kKiB);

    // The next sample counts from this one: not at +5, but at +6.
    EXPECT_FALSE(ApplyProgress(f, 2000 * kKiB, max, kCreated + 5).detailChanged);
    Effects later = ApplyProgress(f, 3000 * kKiB, max, kCreated + 6);
    EXPECT_TRUE(later.detailChanged);
    EXPECT_STREQ(later.detailText, L"(500.0 kB/sec, Time Left: 39 secs)");
}

TEST(ProgressDetailLine, FirstSampleCountsEveryByteSinceTheStart) {
    // The first sized call arrives with 3 kB already there; the reference stays at 0 bytes,
    // so the first sample sees 6 kB over the 3 s since that call.
    Figures f = Fresh();
    (void)ApplyProgress(f, 3 * kKiB, 600 * kKiB, kCreated + 1);
    Effects e = ApplyProgress(f, 6 * kKiB, 600 * kKiB, kCreated + 4);
    EXPECT_STREQ(e.detailText, L"(2.0 kB/sec, Time Left: 4 mins)"); // 594 kB at 2 kB/s: 297 s
}

TEST(ProgressDetailLine, QuietIntervalKeepsTheTextButMovesTheReference) {
    Figures f = Fresh();
    const uint32_t max = 100000 * kKiB;
    (void)ApplyProgress(f, 0, max, kCreated);
    Effects moving = ApplyProgress(f, 3000 * kKiB, max, kCreated + 3);
    ASSERT_TRUE(moving.detailChanged);
    Effects quiet = ApplyProgress(f, 3000 * kKiB, max, kCreated + 7);
    EXPECT_FALSE(quiet.detailChanged);
    EXPECT_EQ(f.lastSampleTime, kCreated + 7);
    EXPECT_EQ(f.bytesAtLastSample, 3000 * kKiB);
    // The next sample measures from the quiet one: 4 s later, 4000 kB more.
    Effects resumed = ApplyProgress(f, 7000 * kKiB, max, kCreated + 11);
    EXPECT_STREQ(resumed.detailText, L"(1000.0 kB/sec, Time Left: 93 secs)");
}

TEST(ProgressDetailLine, ClockGoingBackTakesNoSample) {
    Figures f = Fresh();
    (void)ApplyProgress(f, 0, 1000 * kKiB, kCreated + 10);
    Effects back = ApplyProgress(f, 500 * kKiB, 1000 * kKiB, kCreated + 2);
    EXPECT_FALSE(back.detailChanged);
    EXPECT_EQ(f.lastSampleTime, kCreated + 10);
    EXPECT_FALSE(back.expand);
}

TEST(ProgressDetailLine, ProgressBeyondTheMaximumWrapsTheBytesLeft) {
    Figures f = Fresh();
    (void)ApplyProgress(f, 0, 3000 * kKiB, kCreated);
    Effects e = ApplyProgress(f, 3072 * kKiB, 3000 * kKiB, kCreated + 3);
    // 1024 kB/s; 72 kB too many wrap to 4194232 kB left: 4095 s at 1024 kB/s, 68 mins.
    EXPECT_STREQ(e.detailText, L"(1024.0 kB/sec, Time Left: 68 mins)");
}

TEST(ProgressDetailLine, TimeLeftUnits) {
    EXPECT_EQ(Detail(1.0, 100 * kKiB), L"(1.0 kB/sec, Time Left: 100 secs)");
    EXPECT_EQ(Detail(1.0, 101 * kKiB), L"(1.0 kB/sec, Time Left: 1 mins)");
    EXPECT_EQ(Detail(1.0, 179 * kKiB), L"(1.0 kB/sec, Time Left: 2 mins)");
    EXPECT_EQ(Detail(1.0, 0), L"(1.0 kB/sec, Time Left: 0 secs)");
    // Seconds are truncated: 10.9 s shows 10.
    EXPECT_EQ(Detail(10.0, 109 * kKiB), L"(10.0 kB/sec, Time Left: 10 secs)");
    EXPECT_EQ(Detail(500.0, 42 * 500 * kKiB), L"(500.0 kB/sec, Time Left: 42 secs)");
}

TEST(ProgressDetailLine, SpeedUnits) {
    EXPECT_EQ(Detail(1024.0, 0), L"(1024.0 kB/sec, Time Left: 0 secs)");
    EXPECT_EQ(Detail(1024.5, 0), L"(1.0 MB/sec, Time Left: 0 secs)");
    EXPECT_EQ(Detail(1536.0, 200 * 1536 * kKiB), L"(1.5 MB/sec, Time Left: 3 mins)");
    // The time left is decided on the speed in kB/s, before it is turned into MB/s.
    EXPECT_EQ(Detail(2048.0, 2048 * 100 * kKiB), L"(2.0 MB/sec, Time Left: 100 secs)");
    EXPECT_EQ(Detail(0.04, 0), L"(0.0 kB/sec, Time Left: 0 secs)");
}

TEST(ProgressDetailLine, TimeLeftBeyondThe32BitRangeIsHeld) {
    EXPECT_EQ(progress::SecondsLeft(UINT32_MAX, 1e-6), INT32_MAX);
    EXPECT_EQ(progress::SecondsLeft(2147483647u, 1.0 / 1024.0), INT32_MAX);
    EXPECT_EQ(progress::SecondsLeft(2147483646u, 1.0 / 1024.0), 2147483646);
    EXPECT_EQ(Detail(1e-6, UINT32_MAX), L"(0.0 kB/sec, Time Left: 35791394 mins)");

    // One byte in three seconds with almost 4 GiB to go, through the whole notification.
    Figures f = Fresh();
    (void)ApplyProgress(f, 0, UINT32_MAX, kCreated);
    Effects e = ApplyProgress(f, 1, UINT32_MAX, kCreated + 3);
    EXPECT_TRUE(e.detailChanged);
    EXPECT_STREQ(e.detailText, L"(0.0 kB/sec, Time Left: 35791394 mins)");
}

TEST(ProgressLayout, ExpandsOnlyMoreThanFiveSecondsAfterCreation) {
    Figures f = Fresh();
    EXPECT_FALSE(ApplyProgress(f, 0, 1000, kCreated).expand);
    EXPECT_FALSE(ApplyProgress(f, 1, 1000, kCreated + 5).expand);
    EXPECT_TRUE(ApplyProgress(f, 2, 1000, kCreated + 6).expand);
    EXPECT_TRUE(ApplyProgress(f, 3, 1000, kCreated + 60).expand);
    // A clock before the creation time does not count.
    EXPECT_FALSE(ApplyProgress(f, 4, 1000, kCreated - 100).expand);
    // Unsized calls never expand.
    EXPECT_FALSE(ApplyProgress(f, 4, 0, kCreated + 60).expand);
}

// A clock that gives the listed readings in turn, then stays at the last one: a progress call
// that takes a while (a repaint, a slow download service) sees the time move under it.
class ScriptedClock final : public progress::Clock {
public:
    explicit ScriptedClock(std::vector<int64_t> readings) : readings_(std::move(readings)) {}
    int64_t Now() override {
        int64_t t = readings_[next_];
        if (next_ + 1 < readings_.size()) ++next_;
        return t;
    }

private:
    std::vector<int64_t> readings_;
    size_t next_ = 0;
};

TEST(ProgressClock, ReferenceAndExpansionTakeTheTimeAsItIsByThen) {
    // A sample is due at +3; by the time the reference is stored the clock says +4, and by
    // the expansion test +6.
    Figures f = Fresh();
    f.lastSampleTime = kCreated;
    ScriptedClock clock({kCreated + 3, kCreated + 4, kCreated + 6});
    Effects e = ApplyProgress(f, 3 * kKiB, 600 * kKiB, clock);
    EXPECT_TRUE(e.detailChanged);
    EXPECT_STREQ(e.detailText, L"(1.0 kB/sec, Time Left: 9 mins)"); // 3 kB over the 3 s measured
    EXPECT_EQ(f.lastSampleTime, kCreated + 4);
    EXPECT_TRUE(e.expand);
}

TEST(ProgressClock, FirstReferenceIsTheTimeOfItsReading) {
    Figures f = Fresh();
    ScriptedClock clock({kCreated + 5, kCreated + 6});
    Effects e = ApplyProgress(f, 0, 1000, clock);
    EXPECT_EQ(f.lastSampleTime, kCreated + 5);
    EXPECT_TRUE(e.expand); // the expansion test read +6
}

TEST(ProgressTotals, TotalBytesIsTheLastSizedMaximum) {
    Figures f = Fresh();
    (void)ApplyProgress(f, 0, 5000, kCreated);
    (void)ApplyProgress(f, 100, 6000, kCreated);
    (void)ApplyProgress(f, 200, 0, kCreated);
    EXPECT_EQ(f.totalBytes, 6000u);
    EXPECT_DOUBLE_EQ(f.fraction, 100.0 / 6000.0);
}

TEST(AverageSpeed, WholeSecondsOnly) {
    EXPECT_EQ(progress::AverageSpeed(100.0, 4), 25.0);
    EXPECT_EQ(progress::AverageSpeed(100.0, 0), 0.0);
    EXPECT_EQ(progress::AverageSpeed(100.0, -3), 0.0);
}

} // namespace
