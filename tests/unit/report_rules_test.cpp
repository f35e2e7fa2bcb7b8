#include "net/report_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#ifndef _WIN32
#include <thread>
#endif

namespace {

TEST(EventCodes, NumbersSentAsTheTypeField) {
    const EventCode codes[] = {InstallStarted,   SetupStarted,          DownloadFinished,
                               InstallSucceeded, InstallFailed,         ClosedAfterSuccess,
                               ClosedWithLaunch, AbortedDuringDownload, AbortedDuringInstall,
                               AbortedOther,     TutorialOpened};
    for (int i = 0; i <= 10; ++i) EXPECT_EQ(static_cast<int>(codes[i]), i);
}

TEST(QueryNumber, SequenceFromTheFixedStart) {
    uint32_t state = 1;
    const int expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464};
    for (int value : expected) EXPECT_EQ(RandomStep(state), value);
}

TEST(QueryNumber, StaysWithinFifteenBits) {
    uint32_t state = 1;
    int highest = 0;
    for (int i = 0; i < 100000; ++i) {
        int r = RandomStep(state);
        ASSERT_GE(r, 0);
        ASSERT_LE(r, 32767);
        if (r > highest) highest = r;
    }
    EXPECT_EQ(highest, 32767);
}

#ifndef _WIN32
// The executable keeps its own per-thread state; natively the rules carry one.
TEST(QueryNumber, EveryThreadStartsAfresh) {
    std::vector<int> first(3), second(3);
    for (int t = 0; t < 3; ++t) {
        std::thread([&, t] {
            first[t] = NextRandom();
            second[t] = NextRandom();
        }).join();
    }
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(first[t], 41);
        EXPECT_EQ(second[t], 18467);
    }
}
#endif

std::wstring Target(int r, const wchar_t* session, EventCode code, const wchar_t* extras) {
    wchar_t out[kTargetUnits];
    int n = BuildReportTarget(out, r, session, code, extras);
    EXPECT_EQ(n < 0 ? 0u : static_cast<size_t>(n), std::wstring(out).size());
    return out;
}

TEST(ReportTarget, WithoutExtrasEndsWithTheType) {
    EXPECT_EQ(Target(41, L"DEFAULT", SetupStarted, nullptr),
              L"/wp-json/hlv/api?r=41&session=DEFAULT&webinst=true&type=1");
    EXPECT_EQ(Target(18467, L"0f8fad5b-d9cb-469f-a165-70867728950e", ClosedWithLaunch, nullptr),
              L"/wp-json/hlv/api?r=18467&session=0f8fad5b-d9cb-469f-a165-70867728950e&webinst=true&type=6");
    EXPECT_EQ(Target(0, L"DEFAULT", TutorialOpened, nullptr),
              L"/wp-json/hlv/api?r=0&session=DEFAULT&webinst=true&type=10");
}

TEST(ReportTarget, ExtrasAreAppendedUnchanged) {
    EXPECT_EQ(Target(6334, L"DEFAULT", DownloadFinished, L"&speed=    12.500"),
              L"/wp-json/hlv/api?r=6334&session=DEFAULT&webinst=true&type=2&speed=    12.500");
    EXPECT_EQ(Target(26500, L"DEFAULT", InstallFailed, L"&code=-1"),
              L"/wp-json/hlv/api?r=26500&session=DEFAULT&webinst=true&type=4&code=-1");
    // The extra text is an argument, never a format: a percent sign in it stays as it is.
    EXPECT_EQ(Target(41, L"DEFAULT", AbortedOther, L"&x=%d%s"),
              L"/wp-json/hlv/api?r=41&session=DEFAULT&webinst=true&type=9&x=%d%s");
}

TEST(ReportTarget, TooLongForTheBufferIsEmpty) {
    std::wstring session(2048, L's');
    wchar_t out[kTargetUnits];
    EXPECT_EQ(BuildReportTarget(out, 41, session.c_str(), SetupStarted, nullptr), -1);
    EXPECT_EQ(out[0], 0);
}

TEST(LookupTarget, FixedFieldsAroundTheNumber) {
    wchar_t out[kTargetUnits];
    EXPECT_GT(BuildLookupTarget(out, 18467), 0);
    EXPECT_STREQ(out, L"/index.php?option=com_hlvauth&r=18467&morvelt=true&info=true&file=true");
    EXPECT_GE(BuildLookupTarget(out, 32767), 0);
    EXPECT_STREQ(out, L"/index.php?option=com_hlvauth&r=32767&morvelt=true&info=true&file=true");
}

TEST(ExtraFields, SpeedCodeAndAbortForms) {
    wchar_t out[kExtraUnits];
    EXPECT_GE(FormatSpeedExtra(out, 12.5), 0);
    EXPECT_STREQ(out, L"&speed=    12.500");
    EXPECT_GE(FormatSpeedExtra(out, 0.0), 0);
    EXPECT_STREQ(out, L"&speed=     0.000");
    EXPECT_GE(FormatSpeedExtra(out, 123456789.0), 0);
    EXPECT_STREQ(out, L"&speed=123456789.000");
    EXPECT_GE(FormatCodeExtra(out, 10), 0);
    EXPECT_STREQ(out, L"&code=10");
    EXPECT_GE(FormatCodeExtra(out, -1), 0);
    EXPECT_STREQ(out, L"&code=-1");
    // An exit code with its top bit set is sent as a negative number.
    EXPECT_GE(FormatCodeExtra(out, static_cast<int32_t>(0xC0000005u)), 0);
    EXPECT_STREQ(out, L"&code=-1073741819");
    EXPECT_GE(FormatAbortExtra(out, 12.5, 37), 0);
    EXPECT_STREQ(out, L"&speed=    12.500&comp=37");
    EXPECT_GE(FormatAbortExtra(out, 0.0, -1), 0);
    EXPECT_STREQ(out, L"&speed=     0.000&comp=-1");
}

} // namespace
