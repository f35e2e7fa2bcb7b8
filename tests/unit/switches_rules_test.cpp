#include "app/switches_rules.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    const wchar_t* arguments;
    bool scriptPresent;
    bool continueAfterRestart, restartPending, autoInstall, autoLaunch, deleteScript;
};

void ExpectModes(const Row& row) {
    SCOPED_TRACE(testing::Message() << "arguments \"" << row.arguments << "\", script "
                                    << (row.scriptPresent ? "present" : "absent"));
    RunModes m = DecideRunModes(row.arguments, row.scriptPresent);
    EXPECT_EQ(m.continueAfterRestart, row.continueAfterRestart);
    EXPECT_EQ(m.restartPending, row.restartPending);
    EXPECT_EQ(m.autoInstall, row.autoInstall);
    EXPECT_EQ(m.autoLaunch, row.autoLaunch);
    EXPECT_EQ(m.deleteResumeScript, row.deleteScript);
}

TEST(RunModes, SwitchTable) {
    // "/c", script, "/i", "/l" -> continueAfterRestart, restartPending, autoInstall, autoLaunch,
    // and whether the resume script is deleted. "any" rows are spelled out both ways.
    const Row rows[] = {
        {L"", false, false, false, false, false, false},
        {L"/i", false, false, false, true, false, false},
        {L"/l", false, false, false, false, true, false},
        {L"/i /l", false, false, false, true, true, false},
        // Script present, no "/c": the switches are ignored and the script stays.
        {L"", true, false, true, false, false, false},
        {L"/i", true, false, true, false, false, false},
        {L"/l", true, false, true, false, false, false},
        {L"/i /l", true, false, true, false, false, false},
        // "/c" without a script.
        {L"/c", false, true, false, true, false, false},
        {L"/c /i", false, true, false, true, false, false},
        {L"/c /l", false, true, false, true, true, false},
        {L"/c /i /l", false, true, false, true, true, false},
        // "/c" with the script: it is deleted and the run continues by itself.
        {L"/c", true, true, false, true, false, true},
        {L"/c /i", true, true, false, true, false, true},
        {L"/c /l", true, true, false, true, true, true},
        {L"/c /i /l", true, true, false, true, true, true},
    };
    for (const Row& row : rows) ExpectModes(row);
}

TEST(RunModes, SwitchesAreCaseSensitiveSubstringsAnywhere) {
    const Row rows[] = {
        {L"/C", false, false, false, false, false, false},
        {L"/I /L", false, false, false, false, false, false},
        {L"/install", false, false, false, true, false, false},
        {L"D:/cache/x", false, true, false, true, false, false},
        {L"/cx", false, true, false, true, false, false},
        {L"x/cache", true, true, false, true, false, true},
        // Order and glued switches do not matter.
        {L"/l /i /c", false, true, false, true, true, false},
        {L"/c/i/l", false, true, false, true, true, false},
        {L"--verbose /launch", false, false, false, false, true, false},
        // "/cil" holds "/c" but neither "/i" nor "/l".
        {L"/cil", false, true, false, true, false, false},
        // A lone slash or a backslash form is no switch.
        {L"/ c \\i -l", false, false, false, false, false, false},
    };
    for (const Row& row : rows) ExpectModes(row);
}

TEST(RunModes, NoArgumentText) {
    RunModes none = DecideRunModes(nullptr, false);
    EXPECT_FALSE(none.continueAfterRestart || none.restartPending || none.autoInstall || none.autoLaunch ||
                 none.deleteResumeScript);
    RunModes pending = DecideRunModes(nullptr, true);
    EXPECT_TRUE(pending.restartPending);
    EXPECT_FALSE(pending.autoInstall || pending.autoLaunch || pending.deleteResumeScript);
}

} // namespace
