#include "base/format_bounded.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// A buffer with guard units behind the capacity, to catch any write past it.
struct Guarded {
    static constexpr size_t kGuard = 8;
    static constexpr wchar_t kFill = L'#';
    wchar_t units[4096 + kGuard];
    size_t capacity;
    explicit Guarded(size_t cap) : capacity(cap) {
        for (auto& u : units) u = kFill;
    }
    bool GuardIntact() const {
        for (size_t i = capacity; i < capacity + kGuard; ++i)
            if (units[i] != kFill) return false;
        return true;
    }
};

// Formats into every capacity from 1 to two past the text's length: the text must be stored
// whole exactly when it fits with its terminator, and otherwise leave an empty text and -1.
template <typename... Args>
void ExpectWholeOrNothing(const std::wstring& expected, const wchar_t* format, Args... args) {
    for (size_t cap = 1; cap <= expected.size() + 2; ++cap) {
        SCOPED_TRACE(testing::Message() << "capacity " << cap);
        Guarded g(cap);
        int result = FormatBounded(g.units, cap, format, args...);
        if (expected.size() < cap) {
            EXPECT_EQ(result, static_cast<int>(expected.size()));
            EXPECT_EQ(std::wstring(g.units), expected);
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(g.units[0], 0);
        }
        EXPECT_TRUE(g.GuardIntact());
    }
}

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

TEST(FormatBounded, EveryCapacityAroundTheTextLength) {
    ExpectWholeOrNothing(L"plain", L"plain");
    ExpectWholeOrNothing(L"-2147483648", L"%d", INT_MIN);
    ExpectWholeOrNothing(L"    12.500", L"%10.3f", 12.5);
    ExpectWholeOrNothing(L"100%", L"%d%%", 100);
    ExpectWholeOrNothing(L"C:\\Temp\\MORVELT_PACKAGE.exe", L"%s%s", L"C:\\Temp\\", L"MORVELT_PACKAGE.exe");
    ExpectWholeOrNothing(L"[      ab]", L"[%8s]", L"ab");
    ExpectWholeOrNothing(L"(1.5 MB/sec, Time Left: 3 mins)", L"(%0.1f %s, Time Left: %d %s)", 1.5, L"MB/sec",
                         3, L"mins");
}

TEST(FormatBounded, CapacitiesOfTheInstallersBuffers) {
    // 100, 1024, 2048 and 4096 units: one unit short of each still fits, the full length does not.
    for (size_t cap : {size_t{100}, size_t{1024}, size_t{2048}, size_t{4096}}) {
        SCOPED_TRACE(testing::Message() << "capacity " << cap);
        std::wstring fits(cap - 1, L'p');
        std::wstring tooLong(cap, L'p');
        Guarded a(cap);
        EXPECT_EQ(FormatBounded(a.units, cap, L"%s", fits.c_str()), static_cast<int>(cap - 1));
        EXPECT_EQ(a.units[cap - 1], 0);
        EXPECT_TRUE(a.GuardIntact());
        Guarded b(cap);
        EXPECT_EQ(FormatBounded(b.units, cap, L"%s", tooLong.c_str()), -1);
        EXPECT_EQ(b.units[0], 0);
        EXPECT_TRUE(b.GuardIntact());
        // A field width alone can make the text too long.
        Guarded c(cap);
        EXPECT_EQ(FormatBounded(c.units, cap, L"%*d", static_cast<int>(cap), 1), -1);
        EXPECT_EQ(c.units[0], 0);
        EXPECT_TRUE(c.GuardIntact());
    }
}

TEST(FormatBounded, ConversionsUsedByTheInstaller) {
    wchar_t out[100];
    EXPECT_GT(FormatBounded(out, 100, L"Downloading MORVELT... %d%%", 37), 0);
    EXPECT_STREQ(out, L"Downloading MORVELT... 37%");
    EXPECT_GE(FormatBounded(out, 100, L"(%0.1f %s, Time Left: %d %s)", 500.0, L"kB/sec", 42, L"secs"), 0);
    EXPECT_STREQ(out, L"(500.0 kB/sec, Time Left: 42 secs)");
    EXPECT_GE(FormatBounded(out, 100, L"&speed=%10.3f", 12.5), 0);
    EXPECT_STREQ(out, L"&speed=    12.500");
    EXPECT_GE(FormatBounded(out, 100, L"&speed=%10.3f&comp=%d", 0.0, -1), 0);
    EXPECT_STREQ(out, L"&speed=     0.000&comp=-1");
    EXPECT_GE(FormatBounded(out, 100, L"&code=%d", static_cast<int>(0x80000000u)), 0);
    EXPECT_STREQ(out, L"&code=-2147483648");
    EXPECT_GE(
        FormatBounded(out, 100, L"%s%s", L"C:\\Users\\u\\AppData\\Local\\Temp\\", L"MORVELT_PACKAGE.exe"), 0);
    EXPECT_STREQ(out, L"C:\\Users\\u\\AppData\\Local\\Temp\\MORVELT_PACKAGE.exe");
}

TEST(FormatBounded, FixedPointRoundingAndWidth) {
    wchar_t out[100];
    EXPECT_EQ(FormatBounded(out, 100, L"%0.1f|%0.1f|%0.1f", 0.04, 0.06, 1535.96), 14);
    EXPECT_STREQ(out, L"0.0|0.1|1536.0");
    EXPECT_EQ(FormatBounded(out, 100, L"%10.3f|%10.3f", 0.0004, 2147483647.0), 25);
    EXPECT_STREQ(out, L"     0.000|2147483647.000");
    EXPECT_GE(FormatBounded(out, 100, L"%+.0f|%#.0f|%010.2f|%-10.2f|", 2.0, 2.0, -3.5, 3.5), 0);
    EXPECT_STREQ(out, L"+2|2.|-000003.50|3.50      |");
}

TEST(FormatBounded, IntegerFlagsWidthsAndPrecision) {
    wchar_t out[200];
    EXPECT_GE(FormatBounded(out, 200, L"%+5d|% d|%-5d|%05d|%-05d|", 3, 3, 3, -3, 3), 0);
    EXPECT_STREQ(out, L"   +3| 3|3    |-0003|3    |");
    // A precision asks for a minimum of digits and switches zero padding off.
    EXPECT_GE(FormatBounded(out, 200, L"%.0d|%.3d|%5.3d|%05.3d|", 0, 5, -5, 5), 0);
    EXPECT_STREQ(out, L"|005| -005|  005|");
    EXPECT_GE(FormatBounded(out, 200, L"%x|%X|%#x|%#X|%#x|%o|%#o|%#.0o", 255, 255, 255, 255, 0, 8, 8, 0), 0);
    EXPECT_STREQ(out, L"ff|FF|0xff|0XFF|0|10|010|0");
    EXPECT_GE(FormatBounded(out, 200, L"%#08x|%i|%u", 255, -12, -1), 0);
    EXPECT_STREQ(out, L"0x0000ff|-12|4294967295");
    EXPECT_GE(FormatBounded(out, 200, L"%lld|%lld|%hd|%hu|%hhd", LLONG_MIN, LLONG_MAX, 65537, -1, 257), 0);
    EXPECT_STREQ(out, L"-9223372036854775808|9223372036854775807|1|65535|1");
    EXPECT_GE(FormatBounded(out, 200, L"%d|%d", INT_MAX, INT_MIN), 0);
    EXPECT_STREQ(out, L"2147483647|-2147483648");
}

TEST(FormatBounded, LongPrecisionIsNeverCutShort) {
    static wchar_t out[4096];
    std::wstring hundredDigits = std::wstring(99, L'0') + L"7";
    EXPECT_EQ(FormatBounded(out, 4096, L"%.100d", 7), 100);
    EXPECT_EQ(std::wstring(out), hundredDigits);
    EXPECT_EQ(FormatBounded(out, 4096, L"%.100x", 255), 100);
    EXPECT_EQ(std::wstring(out), std::wstring(98, L'0') + L"ff");
    EXPECT_EQ(FormatBounded(out, 4096, L"%+.70d", -1), 71);
    EXPECT_EQ(std::wstring(out), L"-" + std::wstring(69, L'0') + L"1");
    // Width counts the sign and every precision zero.
    EXPECT_EQ(FormatBounded(out, 4096, L"%105.100d", 7), 105);
    EXPECT_EQ(std::wstring(out), L"     " + hundredDigits);
    EXPECT_EQ(FormatBounded(out, 100, L"%.100d", 7), -1);
    EXPECT_EQ(out[0], 0);
}

TEST(FormatBounded, TextCharacterAndStarArguments) {
    wchar_t out[100];
    EXPECT_GE(
        FormatBounded(out, 100, L"%5s|%-5s|%.2s|%.*s|%ls", L"ab", L"ab", L"abcdef", 3, L"abcdef", L"wide"),
        0);
    EXPECT_STREQ(out, L"   ab|ab   |ab|abc|wide");
    EXPECT_GE(FormatBounded(out, 100, L"%c%3c%-3c|%lc", L'a', L'b', L'c', L'\u00E9'), 0);
    EXPECT_STREQ(out, L"a  bc  |\u00E9");
    // A negative star width means left alignment; a negative star precision means none.
    EXPECT_GE(FormatBounded(out, 100, L"%*d|%*d|%.*d|%*.*f", 4, 1, -3, 1, -3, 1, 8, 2, 3.14159), 0);
    EXPECT_STREQ(out, L"   1|1  |1|    3.14");
    // Text above U+007F passes unchanged; "%s" is always UTF-16 text.
    EXPECT_GE(FormatBounded(out, 100, L"%s", L"caf\u00E9 \u20AC"), 0);
    EXPECT_STREQ(out, L"caf\u00E9 \u20AC");
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
    // The largest double has 309 integer digits; it is printed whole when there is room.
    static wchar_t big[4096];
    EXPECT_EQ(FormatBounded(big, 4096, L"%.3f", 1e308), 313);
    EXPECT_EQ(std::wstring(big).substr(0, 16), L"1000000000000000");
    EXPECT_EQ(std::wstring(big).substr(309), L".000");
}

TEST(FormatBounded, MalformedFormatLeavesEmptyText) {
    // Formats that end inside a conversion, unknown conversions, "%n", sizes the formatter
    // does not take with a floating-point value, and fields beyond the sane ceiling.
    const wchar_t* formats[] = {L"abc %",  L"abc %-",  L"%5",    L"%.",     L"%5.2",    L"%l",
                                L"%ll",    L"%h",      L"%hh",   L"%q",     L"%n",      L"%p",
                                L"%Lf",    L"%hf",     L"%d%",   L"ok %5%", L"%99999d", L"%.99999d",
                                L"%4097d", L"%.4097f", L"%I64d", L"%y %d"};
    for (size_t i = 0; i < sizeof formats / sizeof formats[0]; ++i) {
        const wchar_t* format = formats[i];
        SCOPED_TRACE(testing::Message() << "format #" << i);
        Guarded g(100);
        EXPECT_EQ(FormatBounded(g.units, 100, format, 1, 2, 3), -1);
        EXPECT_EQ(g.units[0], 0);
        EXPECT_TRUE(g.GuardIntact());
    }
    // The same for star fields beyond the ceiling.
    Guarded wide(100);
    EXPECT_EQ(FormatBounded(wide.units, 100, L"%*d", 100000, 1), -1);
    EXPECT_EQ(FormatBounded(wide.units, 100, L"%*d", -100000, 1), -1);
    EXPECT_EQ(FormatBounded(wide.units, 100, L"%.*d", 100000, 1), -1);
    EXPECT_EQ(wide.units[0], 0);
    // A text that fits does not rescue a malformed conversion behind it.
    Guarded later(100);
    EXPECT_EQ(FormatBounded(later.units, 100, L"Downloading %d%% %z", 5), -1);
    EXPECT_EQ(later.units[0], 0);
}

TEST(FormatBounded, NullTextTinyCapacityAndMissingBuffers) {
    wchar_t out[100];
    EXPECT_EQ(FormatBounded(out, 100, L"[%s]", static_cast<const wchar_t*>(nullptr)), 8);
    EXPECT_STREQ(out, L"[(null)]");
    Guarded one(1);
    EXPECT_EQ(FormatBounded(one.units, 1, L""), 0);
    EXPECT_EQ(one.units[0], 0);
    EXPECT_EQ(FormatBounded(one.units, 1, L"a"), -1);
    EXPECT_EQ(one.units[0], 0);
    EXPECT_TRUE(one.GuardIntact());
    // No room at all: nothing is written, not even a terminator.
    Guarded none(0);
    EXPECT_EQ(FormatBounded(none.units, 0, L"a"), -1);
    EXPECT_TRUE(none.GuardIntact());
    EXPECT_EQ(FormatBounded(nullptr, 100, L"a"), -1);
    // No format: empty text.
    out[0] = L'z';
    EXPECT_EQ(FormatBounded(out, 100, nullptr), -1);
    EXPECT_EQ(out[0], 0);
}

// Arguments handed out one by one, recording which kind of argument the formatter asked
// for: i int, L long long, d double, t text.
class ScriptedArgs final : public fmt::ArgSource {
public:
    std::string asked;
    long long NextInt(bool isLongLong) override {
        asked += isLongLong ? 'L' : 'i';
        return 3;
    }
    double NextDouble() override {
        asked += 'd';
        return 1.25;
    }
    const wchar_t* NextText() override {
        asked += 't';
        return L"tx";
    }
};

TEST(FormatBounded, TakesExactlyTheArgumentsTheFormatNames) {
    wchar_t out[100];
    ScriptedArgs all;
    EXPECT_EQ(fmt::FormatWithSource(out, 100, L"%*.*f|%s|%lld|%c|%%|%hd|%u", all), 18);
    EXPECT_EQ(all.asked, "iidtLiii");
    EXPECT_STREQ(out, L"1.250|tx|3|\x03|%|3|3");

    // A malformed conversion stops the formatter before it takes anything for it or after it.
    ScriptedArgs stopped;
    EXPECT_EQ(fmt::FormatWithSource(out, 100, L"%d %q %d %s", stopped), -1);
    EXPECT_EQ(stopped.asked, "i");
    ScriptedArgs unfinished;
    EXPECT_EQ(fmt::FormatWithSource(out, 100, L"%s %5.2", unfinished), -1);
    EXPECT_EQ(unfinished.asked, "t");
    ScriptedArgs noConversion;
    EXPECT_EQ(fmt::FormatWithSource(out, 100, L"100%% sure", noConversion), 9);
    EXPECT_EQ(noConversion.asked, "");
}

TEST(FormatBounded, VaListFormIsTheSameFormatter) {
    struct Call {
        static int Format(wchar_t* dest, size_t cap, const wchar_t* format, ...) {
            va_list args;
            va_start(args, format);
            int first = FormatBoundedV(dest, cap, format, args);
            // The va_list is copied inside, so the caller's list is still at its start.
            wchar_t again[100];
            int second = FormatBoundedV(again, 100, format, args);
            va_end(args);
            return first == second && std::wcscmp(again, dest) == 0 ? first : -2;
        }
    };
    wchar_t out[100];
    EXPECT_EQ(Call::Format(out, 100, L"&speed=%10.3f&comp=%d", 12.5, 37), 25);
    EXPECT_STREQ(out, L"&speed=    12.500&comp=37");
}

} // namespace
