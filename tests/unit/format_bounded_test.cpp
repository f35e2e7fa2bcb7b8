#include "app/format_bounded.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

// A buffer with guard units behind the capacity, to catch any write past it.
struct Guarded {
    static constexpr size_t kGuard = 8;
    wchar_t units[4096 + kGuard];
    size_t capacity;
    explicit Guarded(size_t cap) : capacity(cap) {
        for (auto& u : units) u = L'#';
    }
    bool GuardIntact() const {
        for (size_t i = capacity; i < capacity + kGuard; ++i)
            if (units[i] != L'#') return false;
        return true;
    }
};

TEST(FormatBounded, StoresWholeTextOrNothing) {
    Guarded four(4);
    EXPECT_EQ(FormatBounded(four.units, 4, L"abcd"), -1);
    EXPECT_EQ(four.units[0], 0);
    EXPECT_TRUE(four.GuardIntact());

    Guarded three(4);
    EXPECT_EQ(FormatBounded(three.units, 4, L"abc"), 3);
    EXPECT_STREQ(three.units, L"abc");
    EXPECT_TRUE(three.GuardIntact());
}

TEST(FormatBounded, FillsExactlyToCapacityBoundary) {
    // 99 characters fit a 100-unit buffer with the terminator; 100 do not.
    std::wstring ninetyNine(99, L'x');
    std::wstring hundred(100, L'x');
    Guarded a(100);
    EXPECT_EQ(FormatBounded(a.units, 100, L"%s", ninetyNine.c_str()), 99);
    EXPECT_EQ(std::wstring(a.units), ninetyNine);
    Guarded b(100);
    EXPECT_EQ(FormatBounded(b.units, 100, L"%s", hundred.c_str()), -1);
    EXPECT_EQ(b.units[0], 0);
    EXPECT_TRUE(b.GuardIntact());
}

TEST(FormatBounded, ConversionsUsedByTheInstaller) {
    wchar_t out[100];
    EXPECT_GT(FormatBounded(out, 100, L"Downloading MORVELT... %d%%", 37), 0);
    EXPECT_STREQ(out, L"Downloading MORVELT... 37%");
    FormatBounded(out, 100, L"(%0.1f %s, Time Left: %d %s)", 500.0, L"kB/sec", 42, L"secs");
    EXPECT_STREQ(out, L"(500.0 kB/sec, Time Left: 42 secs)");
    FormatBounded(out, 100, L"&speed=%10.3f", 12.5);
    EXPECT_STREQ(out, L"&speed=    12.500");
    FormatBounded(out, 100, L"&speed=%10.3f&comp=%d", 0.0, -1);
    EXPECT_STREQ(out, L"&speed=     0.000&comp=-1");
    FormatBounded(out, 100, L"&code=%d", static_cast<int>(0x80000000u));
    EXPECT_STREQ(out, L"&code=-2147483648");
    FormatBounded(out, 100, L"%s%s", L"C:\\Users\\u\\AppData\\Local\\Temp\\", L"MORVELT_PACKAGE.exe");
    EXPECT_STREQ(out, L"C:\\Users\\u\\AppData\\Local\\Temp\\MORVELT_PACKAGE.exe");
}

TEST(FormatBounded, WideFieldsAndLargeNumbersStayBounded) {
    wchar_t out[100];
    // A speed field wider than ten characters grows; it is never cut.
    EXPECT_EQ(FormatBounded(out, 100, L"%10.3f", 123456789.0), 13);
    EXPECT_STREQ(out, L"123456789.000");
    Guarded g(20);
    EXPECT_EQ(FormatBounded(g.units, 20, L"%10.3f", 1e300), -1);
    EXPECT_EQ(g.units[0], 0);
    EXPECT_TRUE(g.GuardIntact());
}

TEST(FormatBounded, MalformedFormatLeavesEmptyText) {
    wchar_t out[100];
    out[0] = L'z';
    EXPECT_EQ(FormatBounded(out, 100, L"abc %"), -1);
    EXPECT_EQ(out[0], 0);
    out[0] = L'z';
    EXPECT_EQ(FormatBounded(out, 100, L"%q"), -1);
    EXPECT_EQ(out[0], 0);
    out[0] = L'z';
    EXPECT_EQ(FormatBounded(out, 100, L"%n", nullptr), -1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(FormatBounded(out, 100, L"%99999d", 1), -1);
    EXPECT_EQ(out[0], 0);
}

TEST(FormatBounded, NullTextAndTinyCapacity) {
    wchar_t out[100];
    EXPECT_EQ(FormatBounded(out, 100, L"[%s]", static_cast<const wchar_t*>(nullptr)), 8);
    EXPECT_STREQ(out, L"[(null)]");
    Guarded one(1);
    EXPECT_EQ(FormatBounded(one.units, 1, L""), 0);
    EXPECT_EQ(one.units[0], 0);
    EXPECT_EQ(FormatBounded(one.units, 1, L"a"), -1);
    EXPECT_TRUE(one.GuardIntact());
}

} // namespace
