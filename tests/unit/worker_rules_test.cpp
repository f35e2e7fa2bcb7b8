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
    FormatSpeedExtra(extra, DownloadFinishedSpeed(25 * 1024, 100, 102));
    EXPECT_STREQ(extra, L"&speed=    12.500");
    FormatSpeedExtra(extra, DownloadFinishedSpeed(10u << 20, 100, 104));
    EXPECT_STREQ(extra, L"&speed=  2560.000");
}

TEST(DownloadFinished, NoWholeSecondGivesSpeedZero) {
    EXPECT_EQ(DownloadFinishedSpeed(64u << 20, 100, 100), 0.0);
    EXPECT_EQ(DownloadFinishedSpeed(64u << 20, 100, 90), 0.0);
    wchar_t extra[kExtraUnits];
    FormatSpeedExtra(extra, DownloadFinishedSpeed(64u << 20, 100, 100));
    EXPECT_STREQ(extra, L"&speed=     0.000");
}

} // namespace
