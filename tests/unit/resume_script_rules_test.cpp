#include "restart/resume_script_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Script(const std::string& path, const char* arguments) {
    std::vector<char> out(kResumeScriptMaxBytes + 8, '~');
    size_t n = BuildResumeScript(out.data(), kResumeScriptMaxBytes, path.c_str(), arguments);
    return std::string(out.data(), n);
}

TEST(ResumeScript, ExactBytesWithTheContinuationSwitch) {
    const std::string path = "C:\\Users\\u\\Downloads\\MORVELTSetup.exe";
    std::string s = Script(path, "/c");
    EXPECT_EQ(s, "start \"MORVELT\" \"C:\\Users\\u\\Downloads\\MORVELTSetup.exe\" /c\r\nexit\r\n");
    EXPECT_EQ(s.size(), 27 + path.size() + 2);
    // No byte-order mark, no terminating zero.
    EXPECT_EQ(s.front(), 's');
    EXPECT_EQ(s.back(), '\n');
    EXPECT_EQ(s.find('\0'), std::string::npos);
}

TEST(ResumeScript, ExactBytesWithTheLaunchSwitch) {
    const std::string path = "C:\\Setup\\M.exe";
    std::string s = Script(path, "/c /l");
    const unsigned char expected[] = {0x73, 0x74, 0x61, 0x72, 0x74, 0x20, 0x22, 0x4D, 0x4F, 0x52, 0x56, 0x45,
                                      0x4C, 0x54, 0x22, 0x20, 0x22, 'C',  ':',  '\\', 'S',  'e',  't',  'u',
                                      'p',  '\\', 'M',  '.',  'e',  'x',  'e',  0x22, 0x20, 0x2F, 0x63, 0x20,
                                      0x2F, 0x6C, 0x0D, 0x0A, 0x65, 0x78, 0x69, 0x74, 0x0D, 0x0A};
    ASSERT_EQ(s.size(), sizeof expected);
    EXPECT_EQ(s.size(), 27 + path.size() + 5);
    for (size_t i = 0; i < sizeof expected; ++i)
        EXPECT_EQ(static_cast<unsigned char>(s[i]), expected[i]) << "byte " << i;
}

TEST(ResumeScript, FivePiecesInWriteOrder) {
    ResumeScriptPieces p = ResumeScriptLayout("C:\\a.exe", "/c /l");
    const size_t lengths[] = {17, 8, 2, 5, 8};
    const char* texts[] = {"start \"MORVELT\" \"", "C:\\a.exe", "\" ", "/c /l", "\r\nexit\r\n"};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(testing::Message() << "piece " << i + 1);
        EXPECT_EQ(p.length[i], lengths[i]);
        EXPECT_EQ(std::string(p.text[i], p.length[i]), texts[i]);
    }
}

TEST(ResumeScript, InstallerPathIsCutTo259Bytes) {
    for (size_t n : {size_t{258}, size_t{259}, size_t{260}, size_t{400}}) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        std::string path = "C:\\" + std::string(n - 3, 'p');
        std::string s = Script(path, "/c");
        size_t kept = n < 259 ? n : 259;
        EXPECT_EQ(s.size(), 27 + kept + 2);
        EXPECT_EQ(s.substr(17, kept), path.substr(0, kept));
        EXPECT_EQ(s.substr(17 + kept), "\" /c\r\nexit\r\n");
    }
    EXPECT_EQ(kResumeScriptMaxBytes, 27u + 259u + 5u);
}

TEST(ResumeScript, PathBytesOfTheCodePagePassUnchanged) {
    std::string path = "C:\\Users\\Ren\xE9\\Setup.exe";
    std::string s = Script(path, "/c");
    EXPECT_EQ(s.substr(17, path.size()), path);
}

TEST(ResumeScript, TooSmallOutputWritesNothing) {
    std::vector<char> out(40, '~');
    EXPECT_EQ(BuildResumeScript(out.data(), 39, "C:\\Setup\\M.exe", "/c"), 0u); // needs 43
    for (char c : out) EXPECT_EQ(c, '~');
    EXPECT_EQ(BuildResumeScript(out.data(), 40, "C:\\Setup\\M.exe", "/c"), 0u);
    std::vector<char> exact(43, '~');
    EXPECT_EQ(BuildResumeScript(exact.data(), 43, "C:\\Setup\\M.exe", "/c"), 43u);
}

} // namespace
