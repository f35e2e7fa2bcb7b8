#include "session/worker_rules.h"

#include "net/report_rules.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(SetupWindowTitle, NeedsBothPiecesAnywhere) {
    EXPECT_TRUE(IsSetupWindowTitle(L"MORVELT 2.0 Setup"));
    EXPECT_TRUE(IsSetupWindowTitle(L"MORVELT Setup")); // one blank serves both pieces
    EXPECT_TRUE(IsSetupWindowTitle(L"Welcome - MORVELT 2.0 Setup Wizard"));
    EXPECT_TRUE(IsSetupWindowTitle(L"x Setup of MORVELT y")); // order does not matter
    EXPECT_FALSE(IsSetupWindowTitle(L"MORVELT2.0 Setup"));    // "MORVELT " needs its blank
    EXPECT_FALSE(IsSetupWindowTitle(L"MORVELT 2.0Setup"));    // " Setup" needs its blank
    EXPECT_FALSE(IsSetupWindowTitle(L"Setup MORVELT "));
    EXPECT_FALSE(IsSetupWindowTitle(L"morvelt 2.0 setup"));
    EXPECT_FALSE(IsSetupWindowTitle(L"MORVELT 2.0 SETUP"));
    EXPECT_FALSE(IsSetupWindowTitle(L"MORVELT"));
    EXPECT_FALSE(IsSetupWindowTitle(L""));
}

TEST(DownloadFinished, AverageSpeedOverWholeSeconds) {
    EXPECT_DOUBLE_EQ(DownloadFinishedSpeed(10u << 20, 100, 104), 2560.0);
    EXPECT_DOUBLE_EQ(DownloadFinishedSpeed(25 * 1024, 100, 102), 12.5);
    wchar_t extra[kExtraUnits];
    EXPECT_GE(FormatSpeedExtra(extra, DownloadFinishedSpeed(25 * 1024, 100, 102)), 0);
    EXPECT_STREQ(extra, L"&speed=    12.500");
    EXPECT_GE(FormatSpeedExtra(extra, DownloadFinishedSpeed(10u << 20, 100, 104)), 0);
    EXPECT_STREQ(extra, L"&speed=  2560.000");
}

TEST(DownloadFinished, NoWholeSecondGivesSpeedZero) {
    EXPECT_EQ(DownloadFinishedSpeed(64u << 20, 100, 100), 0.0);
    EXPECT_EQ(DownloadFinishedSpeed(64u << 20, 100, 90), 0.0);
    wchar_t extra[kExtraUnits];
    EXPECT_GE(FormatSpeedExtra(extra, DownloadFinishedSpeed(64u << 20, 100, 100)), 0);
    EXPECT_STREQ(extra, L"&speed=     0.000");
}

} // namespace

namespace {
// A clock whose every sleep of 10 ms lasts a whole default Windows tick.
struct TickClock {
    uint64_t now = 5000;
    int pauses = 0;
    void Sleep10() {
        now += 16; // 15.6 ms, rounded up
        ++pauses;
    }
};

TEST(WaitWithin, MeasuresElapsedTimeNotSleeps) {
    TickClock clock;
    // Lambdas last in the calls: clang-format 14 and 19 lay out the others differently.
    auto never = [] { return false; };
    auto now = [&] { return clock.now; };
    bool quiet = WaitWithin(1000, never, now, [&] { clock.Sleep10(); });
    EXPECT_FALSE(quiet);
    // Ends within one tick of the budget; counting 10 ms a sleep would have taken 100 sleeps, 1.6 s.
    EXPECT_GE(clock.now - 5000, 1000u);
    EXPECT_LT(clock.now - 5000, 1000u + 16u);
    EXPECT_LT(clock.pauses, 100);

    // Done at once: no pause, whatever the budget.
    TickClock idle;
    auto already = [] { return true; };
    auto idleNow = [&] { return idle.now; };
    EXPECT_TRUE(WaitWithin(0, already, idleNow, [&] { idle.Sleep10(); }));
    EXPECT_EQ(idle.pauses, 0);

    // Done after a few looks.
    TickClock soon;
    EXPECT_TRUE(WaitWithin(
        1000, [&] { return soon.pauses == 3; }, [&] { return soon.now; }, [&] { soon.Sleep10(); }));
}

TEST(WaitWithin, BudgetLeftAfterAnOverrunningWait) {
    // The abort's report gets what the wait for the worker left of 1.5 s: after a "1 s" wait that
    // lasted 1.56 s there would be nothing left, after one that lasted 1.0 s there is 0.5 s.
    EXPECT_EQ(BudgetLeft(1500, 5000, 6000), 500u);
    EXPECT_EQ(BudgetLeft(1500, 5000, 6560), 0u);
    EXPECT_EQ(BudgetLeft(1500, 5000, 5000), 1500u);
    EXPECT_EQ(BudgetLeft(1500, 5000, 4000), 0u); // a clock before the start gives nothing
}
} // namespace
