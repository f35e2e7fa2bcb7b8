#include "base/path_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kFill = L'#';

// A destination of `capacity` units followed by guard units, all filled.
struct Dest {
    std::vector<wchar_t> units;
    size_t capacity;
    explicit Dest(size_t cap) : units(cap + 8, kFill), capacity(cap) {}
    wchar_t* get() { return units.data(); }
    bool GuardIntact() const {
        for (size_t i = capacity; i < units.size(); ++i)
            if (units[i] != kFill) return false;
        return true;
    }
};

TEST(BoundedCopy, WholeSourceFits) {
    Dest d(8);
    EXPECT_EQ(BoundedCopy(d.get(), 8, L"abc"), kOk);
    EXPECT_STREQ(d.get(), L"abc");
    EXPECT_TRUE(d.GuardIntact());
    Dest exact(4);
    EXPECT_EQ(BoundedCopy(exact.get(), 4, L"abc"), kOk); // three units and the terminator
    EXPECT_STREQ(exact.get(), L"abc");
    EXPECT_TRUE(exact.GuardIntact());
    Dest empty(1);
    EXPECT_EQ(BoundedCopy(empty.get(), 1, L""), kOk);
    EXPECT_EQ(empty.get()[0], 0);
    EXPECT_TRUE(empty.GuardIntact());
}

TEST(BoundedCopy, TooLongKeepsCapacityMinusOneUnits) {
    Dest d(4);
    EXPECT_EQ(BoundedCopy(d.get(), 4, L"abcd"), kInsufficientBuffer);
    EXPECT_STREQ(d.get(), L"abc");
    EXPECT_TRUE(d.GuardIntact());
    Dest one(1);
    EXPECT_EQ(BoundedCopy(one.get(), 1, L"a"), kInsufficientBuffer);
    EXPECT_EQ(one.get()[0], 0);
    EXPECT_TRUE(one.GuardIntact());
    Dest path(kTreePathUnits);
    std::wstring longName(300, L'n');
    EXPECT_EQ(BoundedCopy(path.get(), kTreePathUnits, longName.c_str()), kInsufficientBuffer);
    EXPECT_EQ(std::wstring(path.get()), std::wstring(259, L'n'));
    EXPECT_TRUE(path.GuardIntact());
    EXPECT_EQ(kInsufficientBuffer, 0x8007007Au);
}

TEST(BoundedAppend, AppendsBehindTheText) {
    Dest d(kTreePathUnits);
    ASSERT_EQ(BoundedCopy(d.get(), kTreePathUnits, L"C:\\Old\\Pellam"), kOk);
    EXPECT_EQ(BoundedAppend(d.get(), L"\\"), kOk);
    EXPECT_EQ(BoundedAppend(d.get(), L"locked.dll"), kOk);
    EXPECT_STREQ(d.get(), L"C:\\Old\\Pellam\\locked.dll");
    EXPECT_EQ(BoundedAppend(d.get(), L""), kOk);
    EXPECT_STREQ(d.get(), L"C:\\Old\\Pellam\\locked.dll");
    EXPECT_TRUE(d.GuardIntact());
}

TEST(BoundedAppend, FillsTheLast260thUnitExactly) {
    Dest d(kTreePathUnits);
    std::wstring base(250, L'b');
    ASSERT_EQ(BoundedCopy(d.get(), kTreePathUnits, base.c_str()), kOk);
    EXPECT_EQ(BoundedAppend(d.get(), L"123456789"), kOk); // 259 units and the terminator
    EXPECT_EQ(std::wcslen(d.get()), 259u);
    EXPECT_EQ(BoundedAppend(d.get(), L""), kOk);
    EXPECT_EQ(BoundedAppend(d.get(), L"x"), kInsufficientBuffer);
    EXPECT_EQ(std::wcslen(d.get()), 259u);
    EXPECT_TRUE(d.GuardIntact());
}

TEST(BoundedAppend, OverflowKeepsWhatFitsAndReportsIt) {
    Dest d(kTreePathUnits);
    std::wstring base(255, L'b');
    ASSERT_EQ(BoundedCopy(d.get(), kTreePathUnits, base.c_str()), kOk);
    EXPECT_EQ(BoundedAppend(d.get(), L"\\*xyz"), kInsufficientBuffer);
    EXPECT_EQ(std::wstring(d.get()), base + L"\\*xy");
    EXPECT_TRUE(d.GuardIntact());
}

TEST(BoundedAppend, NoTerminatorWithinTheBufferIsRefused) {
    Dest d(kTreePathUnits);
    for (size_t i = 0; i < kTreePathUnits; ++i) d.get()[i] = L'z';
    EXPECT_EQ(BoundedAppend(d.get(), L"\\*"), kInvalidArgument);
    for (size_t i = 0; i < kTreePathUnits; ++i) ASSERT_EQ(d.get()[i], L'z');
    EXPECT_TRUE(d.GuardIntact());
    EXPECT_EQ(kInvalidArgument, 0x80070057u);
}

// A registry buffer of 1024 units holding `text`, `bytes` as the count the registry gave.
struct Value {
    std::vector<wchar_t> units = std::vector<wchar_t>(kValueUnits, L'~');
    size_t bytes = 0;
    Value(const std::wstring& text, bool withTerminator) {
        std::copy(text.begin(), text.end(), units.begin());
        size_t n = text.size();
        if (withTerminator) units[n++] = 0;
        bytes = n * 2; // two bytes per UTF-16 unit, whatever the host's wchar_t
    }
    std::wstring Text() const { return std::wstring(units.data()); }
};

TEST(InstallRoot, CutsTheLastTenUnits) {
    Value v(L"C:\\Program Files\\Quorbin\\uninst.exe", true);
    ASSERT_TRUE(InstallRootFromValue(v.units.data(), v.bytes));
    EXPECT_EQ(v.Text(), L"C:\\Program Files\\Quorbin\\");
    // The registry need not store the terminator: the text ends with the data.
    Value bare(L"D:\\Apps\\Qb\\0123456789", false);
    ASSERT_TRUE(InstallRootFromValue(bare.units.data(), bare.bytes));
    EXPECT_EQ(std::wstring(bare.units.data(), 11), L"D:\\Apps\\Qb\\");
    EXPECT_EQ(bare.units[11], 0);
}

TEST(InstallRoot, TenUnitsOrFewerIsNoInstallation) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{9}, size_t{10}}) {
        SCOPED_TRACE(testing::Message() << n << " units");
        Value v(std::wstring(n, L'v'), true);
        EXPECT_FALSE(InstallRootFromValue(v.units.data(), v.bytes));
    }
    Value eleven(L"Xabcdefghij", true);
    ASSERT_TRUE(InstallRootFromValue(eleven.units.data(), eleven.bytes));
    EXPECT_EQ(eleven.Text(), L"X");
    // No bytes at all.
    Value none(L"", false);
    EXPECT_FALSE(InstallRootFromValue(none.units.data(), 0));
}

TEST(InstallRoot, TextEndsAtItsFirstZeroUnit) {
    Value v(std::wstring(L"C:\\Short\\uninst.exe") + L'\0' + L"C:\\Much\\Longer\\Rest\\uninst.exe", true);
    ASSERT_TRUE(InstallRootFromValue(v.units.data(), v.bytes));
    EXPECT_EQ(v.Text(), L"C:\\Short\\");
    // A zero unit inside the first ten leaves too short a text.
    Value early(std::wstring(L"C:\\") + L'\0' + L"abcdefghijklmnop", true);
    EXPECT_FALSE(InstallRootFromValue(early.units.data(), early.bytes));
}

TEST(InstallRoot, AFullBufferWithoutTerminatorIsRefused) {
    Value full(std::wstring(kValueUnits, L'f'), false);
    EXPECT_EQ(full.bytes, 2048u);
    EXPECT_FALSE(InstallRootFromValue(full.units.data(), full.bytes));
    // 1023 units and a terminator fill the buffer lawfully.
    Value longest(std::wstring(1013, L'r') + L"uninst.exe", true);
    EXPECT_EQ(longest.bytes, 2048u);
    ASSERT_TRUE(InstallRootFromValue(longest.units.data(), longest.bytes));
    EXPECT_EQ(longest.Text(), std::wstring(1013, L'r'));
    // A count above the buffer is not a value the buffer holds.
    Value v(L"C:\\Program Files\\Quorbin\\uninst.exe", true);
    EXPECT_FALSE(InstallRootFromValue(v.units.data(), 2050));
}

TEST(InstallRoot, OddByteCountIgnoresTheHalfUnit) {
    Value v(L"C:\\Quorbin\\uninst.exe", false);
    ASSERT_TRUE(InstallRootFromValue(v.units.data(), v.bytes + 1));
    EXPECT_EQ(std::wstring(v.units.data()), L"C:\\Quorbin\\");
}

} // namespace

namespace {
TEST(InstallRoot, OnlyAFolderBelowADriveOrShareIsAnInstallation) {
    for (const wchar_t* root : {L"C:\\Program Files\\Quorbin\\", L"D:\\Apps\\Qb\\", L"c:/x/", L"C:\\a",
                                L"\\\\server\\share\\Apps\\", L"C:\\...\\", L"C:\\.hidden\\"})
        EXPECT_TRUE(IsInstallationFolder(root)) << root;
    for (const wchar_t* root :
         {L"C:\\", L"C:/", L"C:", L"C:Quorbin\\", L"Quorbin\\", L"\\Quorbin\\", L"", L"X",
          L"\\\\server\\share\\", L"\\\\server\\", L"\\\\?\\C:\\Apps\\", L"\\\\.\\C:\\Apps\\", L"C:\\..\\",
          L"C:\\.\\", L"C:\\Apps\\..\\", L"C:\\\\Apps\\", L"1:\\Apps\\", L"C:\\Apps\\\\"})
        EXPECT_FALSE(IsInstallationFolder(root)) << root;
}
} // namespace

namespace {
std::wstring Compared(const wchar_t* path, size_t capacity = 100) {
    std::vector<wchar_t> out(capacity + 1, L'#');
    bool ok = FolderForComparison(path, out.data(), capacity);
    EXPECT_EQ(out[capacity], L'#') << "wrote past the capacity for " << path;
    return ok ? std::wstring(out.data()) : L"<none>";
}

TEST(SystemFolder, ResolvesPathsAsWindowsOpensThem) {
    EXPECT_EQ(Compared(L"c:/Windows/"), L"C:\\WINDOWS\\");
    EXPECT_EQ(Compared(L"C:\\Windows. . \\"), L"C:\\WINDOWS\\");
    EXPECT_EQ(Compared(L"C:\\Apps\\..\\.\\Windows\\\\System32\\.."), L"C:\\WINDOWS\\");
    EXPECT_EQ(Compared(L"C:\\..\\..\\Users\\...\\bob "), L"C:\\USERS\\BOB\\");
    EXPECT_EQ(Compared(L"\\\\srv\\share\\..\\Apps"), L"\\\\SRV\\SHARE\\APPS\\");
    EXPECT_EQ(Compared(L"C:"), L"C:\\");
    for (const wchar_t* none : {L"", L"Windows\\", L"C:Windows", L"\\\\?\\C:\\Windows", L"\\\\srv"})
        EXPECT_EQ(Compared(none), L"<none>") << none;
    EXPECT_EQ(Compared(L"C:\\abcdefgh\\", 13), L"C:\\ABCDEFGH\\");
    EXPECT_EQ(Compared(L"C:\\abcdefghi\\", 13), L"<none>");
}

TEST(SystemFolder, RefusesTheMachinesFoldersAndProfileRootsOnly) {
    SystemFolders folders;
    folders.exact[0] = L"C:\\Windows";
    folders.exact[3] = L"C:\\Program Files (x86)";
    folders.users = L"C:\\Users";
    for (const wchar_t* root :
         {L"C:\\Windows\\", L"c:/windows./", L"C:\\Program Files (x86)\\ \\", L"C:\\Users\\",
          L"C:\\Users\\bob\\", L"C:\\Users\\Public.\\", L"C:\\Apps\\..\\Users\\x\\", L"Users\\"})
        EXPECT_TRUE(IsSystemFolder(root, folders)) << root;
    for (const wchar_t* root :
         {L"C:\\Program Files (x86)\\Quorbin\\", L"C:\\Users\\bob\\Apps\\", L"C:\\Windows\\Quorbin\\",
          L"D:\\Windows\\", L"\\\\srv\\share\\Apps\\", L"C:\\Apps\\"})
        EXPECT_FALSE(IsSystemFolder(root, folders)) << root;
}
} // namespace
