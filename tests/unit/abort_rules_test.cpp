#include "app/abort_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(AbortReport, EventByStage) {
    // status object, download complete, package running -> event code
    EXPECT_EQ(AbortEvent({false, false, false}), AbortedOther);
    EXPECT_EQ(AbortEvent({false, true, true}), AbortedOther); // no status object: the flags mean nothing
    EXPECT_EQ(AbortEvent({true, false, false}), AbortedDuringDownload);
    EXPECT_EQ(AbortEvent({true, false, true}), AbortedDuringDownload);
    EXPECT_EQ(AbortEvent({true, true, true}), AbortedDuringInstall);
    EXPECT_EQ(AbortEvent({true, true, false}), AbortedOther);
    EXPECT_EQ(static_cast<int>(AbortedDuringDownload), 7);
    EXPECT_EQ(static_cast<int>(AbortedDuringInstall), 8);
    EXPECT_EQ(static_cast<int>(AbortedOther), 9);
}

std::wstring AbortExtra(uint32_t totalBytes, double fraction, int64_t createdAt, int64_t now,
                        int32_t lastPercent) {
    wchar_t out[kExtraUnits];
    EXPECT_GE(FormatAbortExtra(out, AbortSpeed(totalBytes, fraction, createdAt, now), lastPercent), 0);
    return out;
}

TEST(AbortReport, SpeedSinceTheStatusObjectWasCreated) {
    // 12.5 kB/s: 100 kB of a 200 kB package in 8 s, at 37 %.
    EXPECT_DOUBLE_EQ(AbortSpeed(200 * 1024, 0.5, 1000, 1008), 12.5);
    EXPECT_EQ(AbortExtra(200 * 1024, 0.5, 1000, 1008, 37), L"&speed=    12.500&comp=37");
    // No progress yet: speed 0 and comp -1, five blanks before 0.000.
    EXPECT_EQ(AbortExtra(0, 0.0, 1000, 1001, -1), L"&speed=     0.000&comp=-1");
    // The largest package at its end over one second.
    EXPECT_DOUBLE_EQ(AbortSpeed(UINT32_MAX, 1.0, 0, 1), 4294967295.0 / 1024.0);
    EXPECT_EQ(AbortExtra(UINT32_MAX, 1.0, 0, 1, 100), L"&speed=4194303.999&comp=100");
}

TEST(AbortReport, NoWholeSecondGivesSpeedZero) {
    EXPECT_EQ(AbortSpeed(1 << 20, 0.5, 1000, 1000), 0.0);
    EXPECT_EQ(AbortExtra(1 << 20, 0.5, 1000, 1000, 50), L"&speed=     0.000&comp=50");
    // A clock set back since the object was created gives 0 as well, never a negative speed.
    EXPECT_EQ(AbortSpeed(1 << 20, 0.5, 1000, 990), 0.0);
    // The difference is taken in 64 bits: times beyond the 32-bit range still work.
    EXPECT_DOUBLE_EQ(AbortSpeed(10 * 1024, 1.0, 5000000000LL, 5000000010LL), 1.0);
}

} // namespace
