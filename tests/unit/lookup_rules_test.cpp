#include "net/lookup_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kFill = '~';

// The worker's name buffer, on the heap so that the sanitizers see any write past it, with
// the body fed in the chunks a client would read, ending with the pass that finds no data.
struct Lookup {
    std::vector<char> name = std::vector<char>(kPackageNameBytes, kFill);
    LookupBody body{name.data()};
    bool refused = false;

    bool Run(const std::vector<std::string>& chunks) {
        for (const std::string& chunk : chunks) {
            if (!body.Add(chunk.data(), chunk.size())) {
                refused = true;
                return false;
            }
        }
        if (!body.Add("", 0)) return false;
        return body.Finish();
    }
    std::string Name() const { return std::string(name.data()); }
};

TEST(LookupBody, NameOfOneOrSeveralChunks) {
    Lookup one;
    ASSERT_TRUE(one.Run({"MORVELT_2.0.exe"}));
    EXPECT_EQ(one.Name(), "MORVELT_2.0.exe");
    Lookup several;
    ASSERT_TRUE(several.Run({"MORV", "ELT_", "", "2.0.exe"}));
    EXPECT_EQ(several.Name(), "MORVELT_2.0.exe");
    EXPECT_EQ(several.body.Offset(), 15u);
}

TEST(LookupBody, BodyIsTakenExactlyAsReceived) {
    Lookup lineFeed;
    ASSERT_TRUE(lineFeed.Run({"pkg.exe\n"}));
    EXPECT_EQ(lineFeed.Name(), "pkg.exe\n");
    Lookup spaces;
    ASSERT_TRUE(spaces.Run({"  pkg .exe \r\n"}));
    EXPECT_EQ(spaces.Name(), "  pkg .exe \r\n");
    Lookup errorPage;
    ASSERT_TRUE(errorPage.Run({"<html><body>404 Not Found</body></html>"}));
    EXPECT_EQ(errorPage.Name(), "<html><body>404 Not Found</body></html>");
    Lookup high;
    ASSERT_TRUE(high.Run({"caf\xE9.exe"}));
    EXPECT_EQ(high.Name(), "caf\xE9.exe");
}

TEST(LookupBody, NameEndsAtTheFirstZeroByte) {
    Lookup inChunk;
    ASSERT_TRUE(inChunk.Run({std::string("pkg\0tail", 8)}));
    EXPECT_EQ(inChunk.Name(), "pkg");
    // Later chunks do not extend a name that has ended.
    Lookup later;
    ASSERT_TRUE(later.Run({std::string("ab\0c", 4), "def"}));
    EXPECT_EQ(later.Name(), "ab");
    Lookup leading;
    ASSERT_TRUE(leading.Run({std::string("\0pkg", 4)}));
    EXPECT_EQ(leading.Name(), "");
    Lookup secondChunk;
    ASSERT_TRUE(secondChunk.Run({"abc", std::string("de\0f", 4), "gh"}));
    EXPECT_EQ(secondChunk.Name(), "abcde");
}

TEST(LookupBody, EmptyBodyIsNoName) {
    Lookup empty;
    EXPECT_FALSE(empty.Run({}));
    EXPECT_FALSE(empty.refused);
    // The buffer is not touched.
    for (char c : empty.name) ASSERT_EQ(c, kFill);
    Lookup emptyChunks;
    EXPECT_FALSE(emptyChunks.Run({"", ""}));
}

TEST(LookupBody, BufferIsNotCleared) {
    Lookup l;
    ASSERT_TRUE(l.Run({"ab"}));
    EXPECT_EQ(l.name[2], 0);
    for (size_t i = 3; i < kPackageNameBytes; ++i) ASSERT_EQ(l.name[i], kFill);
}

TEST(LookupBody, BodyOfTheWholeBudgetIsTakenWholeAndTerminated) {
    EXPECT_EQ(kPackageNameBytes, 2049u);
    std::string body(2048, 'n');
    Lookup one;
    ASSERT_TRUE(one.Run({body}));
    EXPECT_EQ(one.Name(), body);
    EXPECT_EQ(one.name[2048], 0);
    Lookup split;
    ASSERT_TRUE(split.Run({body.substr(0, 1000), body.substr(1000, 1047), body.substr(2047)}));
    EXPECT_EQ(split.Name(), body);
    EXPECT_EQ(split.name[2048], 0);
}

TEST(LookupBody, BodyBeyondTheBudgetFails) {
    Lookup one;
    EXPECT_FALSE(one.Run({std::string(2049, 'n')}));
    EXPECT_TRUE(one.refused);
    for (char c : one.name) ASSERT_EQ(c, kFill); // nothing of the refused chunk is copied

    Lookup split;
    EXPECT_FALSE(split.Run({std::string(2000, 'a'), std::string(49, 'b')}));
    EXPECT_TRUE(split.refused);
    EXPECT_EQ(split.name[1999], 'a');
    for (size_t i = 2000; i < kPackageNameBytes; ++i) ASSERT_EQ(split.name[i], kFill);

    // Zero bytes count against the budget like any other byte.
    Lookup zeros;
    EXPECT_FALSE(zeros.Run({std::string("pkg\0", 4), std::string(2045, '\0')}));
    Lookup huge;
    EXPECT_FALSE(huge.Run({std::string(70000, 'h')}));
}

TEST(LookupBody, ManySmallChunksUpToTheBudget) {
    Lookup l;
    std::vector<std::string> chunks(2048, "x");
    ASSERT_TRUE(l.Run(chunks));
    EXPECT_EQ(l.Name(), std::string(2048, 'x'));
    Lookup over;
    chunks.push_back("y");
    EXPECT_FALSE(over.Run(chunks));
}

} // namespace
