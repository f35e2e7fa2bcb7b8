#include "net/download_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::wstring Widen(const std::string& bytes) {
    std::vector<wchar_t> wide(bytes.size() + 1, L'#');
    size_t n = WidenBytes(bytes.c_str(), wide.data(), wide.size());
    EXPECT_EQ(n, bytes.size());
    EXPECT_EQ(wide[n], 0);
    return std::wstring(wide.data());
}

TEST(WidenName, EachByteBecomesTheUnitOfTheSameValue) {
    EXPECT_EQ(Widen("MORVELT_2.0.exe"), L"MORVELT_2.0.exe");
    EXPECT_EQ(Widen("pkg.exe\n"), L"pkg.exe\n");
    // Bytes above 127 are not sign-extended and not decoded: 0xE9 is U+00E9.
    std::wstring high = Widen("caf\xE9\x80\xFF");
    ASSERT_EQ(high.size(), 6u);
    EXPECT_EQ(high[3], L'\u00E9');
    EXPECT_EQ(static_cast<unsigned>(high[4]), 0x80u);
    EXPECT_EQ(static_cast<unsigned>(high[5]), 0xFFu);
    EXPECT_EQ(Widen(""), L"");
}

TEST(WidenName, StopsAtTheBufferEnd) {
    wchar_t wide[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(WidenBytes("abcdef", wide, 4), 3u);
    EXPECT_STREQ(wide, L"abc");
}

TEST(DownloadUrl, FixedPrefixThenTheNameUnchanged) {
    wchar_t url[kUrlUnits];
    EXPECT_GT(BuildDownloadUrl(url, L"download.example", L"MORVELT_2.0.exe"), 0);
    EXPECT_STREQ(url, L"https://download.example/downloads_ls/MORVELT_2.0.exe");
    // No escaping by the installer: blanks, line feeds and percent signs go in as they are.
    EXPECT_GE(BuildDownloadUrl(url, L"127.0.0.1", L"my pkg%20%d.exe\n"), 0);
    EXPECT_STREQ(url, L"https://127.0.0.1/downloads_ls/my pkg%20%d.exe\n");
    EXPECT_GE(BuildDownloadUrl(url, L"127.0.0.1", L"caf\u00E9.exe"), 0);
    EXPECT_STREQ(url, L"https://127.0.0.1/downloads_ls/caf\u00E9.exe");
}

TEST(DownloadUrl, NameTooLongLeavesTheUrlEmpty) {
    const std::wstring host = L"127.0.0.1";
    const size_t prefix = std::wstring(L"https://127.0.0.1/downloads_ls/").size();
    wchar_t url[kUrlUnits];
    std::wstring fits(kUrlUnits - 1 - prefix, L'n');
    EXPECT_EQ(BuildDownloadUrl(url, host.c_str(), fits.c_str()), kUrlUnits - 1);
    std::wstring tooLong(kUrlUnits - prefix, L'n');
    EXPECT_EQ(BuildDownloadUrl(url, host.c_str(), tooLong.c_str()), -1);
    EXPECT_EQ(url[0], 0);
    // A 2048-byte name from the lookup never fits.
    std::wstring longest(2048, L'n');
    EXPECT_EQ(BuildDownloadUrl(url, host.c_str(), longest.c_str()), -1);
}

} // namespace

namespace {

TEST(DownloadComplete, FileMustHoldTheAnnouncedSize) {
    EXPECT_TRUE(DownloadIsWhole(64u << 20, 64u << 20));
    EXPECT_TRUE(DownloadIsWhole((64u << 20) + 1, 64u << 20));
    // A connection dropped one byte short leaves a fragment, not a package.
    EXPECT_FALSE(DownloadIsWhole((64u << 20) - 1, 64u << 20));
    EXPECT_FALSE(DownloadIsWhole(0, 1));
    EXPECT_FALSE(DownloadIsWhole(0, UINT32_MAX));
    EXPECT_TRUE(DownloadIsWhole(UINT32_MAX, UINT32_MAX));
    EXPECT_TRUE(DownloadIsWhole(5ull << 32, UINT32_MAX));
    // With no size announced there is nothing to compare with.
    EXPECT_TRUE(DownloadIsWhole(0, 0));
    EXPECT_TRUE(DownloadIsWhole(12345, 0));
}

} // namespace

namespace {

TEST(DownloadUrl, NameThatWouldLeaveTheFolderLeavesTheUrlEmpty) {
    wchar_t url[kUrlUnits];
    const wchar_t* leaving[] = {
        L"../MORVELT_2.0.exe",
        L"..",
        L".",
        L"..\n",
        L"..\r\n",
        L" .. ",
        L".\x80.",
        L"%2e%2e",
        L"%2E.",
        L"..?option=x",
        L"..#top",
        L"..\\..\\evil.exe",
        L"a/../../x",
        L"sub/../x",
        L"./x",
        L"a\\.\\b",
        L"x/..",
        L"%2e%2e/evil.exe",
        L"../../index.php?option=com_hlvauth",
    };
    for (const wchar_t* name : leaving) {
        url[0] = L'#';
        EXPECT_FALSE(NameStaysInFolder(name)) << static_cast<const void*>(name);
        EXPECT_EQ(BuildDownloadUrl(url, L"127.0.0.1", name), -1);
        EXPECT_EQ(url[0], 0);
    }
}

TEST(DownloadUrl, FileNamesWithDotsStayInTheFolder) {
    wchar_t url[kUrlUnits];
    const wchar_t* staying[] = {
        L"MORVELT_2.0_Setup.exe",
        L"...",
        L"..exe",
        L".hidden",
        L"a..b",
        L"MORVELT\r\n",
        L"\n",
        L"my pkg%20.exe",
        L"MOR#../x",
        L"a?b=../c",
        L"%2e%2e%2e",
        L"caf\u00E9.exe",
        L"sub/pkg.exe",
        L"/pkg.exe",
        L"..%2fx",
        L"<html><title>500 Internal Server Error</title></html>",
    };
    for (const wchar_t* name : staying) {
        EXPECT_TRUE(NameStaysInFolder(name)) << static_cast<const void*>(name);
        EXPECT_GT(BuildDownloadUrl(url, L"127.0.0.1", name), 0);
        EXPECT_EQ(std::wstring(url), std::wstring(L"https://127.0.0.1/downloads_ls/") + name);
    }
}

} // namespace
