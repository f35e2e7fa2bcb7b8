#include "base/path_rules.h"
#include "session/program_image_rules.h"
#include "session/signer_rules.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

void Put(std::vector<uint8_t>& b, size_t at, uint32_t v, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A GUI program of two sections in 0x2000 bytes, signed at 0x1e00; `at` names its header fields.
struct Program {
    static constexpr size_t pe = 0x80, opt = pe + 24;
    std::vector<uint8_t> b = std::vector<uint8_t>(0x2000);
    explicit Program(uint16_t machine = kMachineI386) {
        const bool plus = machine != kMachineI386;
        const size_t dirs = opt + (plus ? 112 : 96), sections = opt + (plus ? 240 : 224);
        b[0] = 'M', b[1] = 'Z';
        Put(b, 0x3c, pe), Put(b, pe, 0x4550), Put(b, pe + 4, machine, 2), Put(b, pe + 6, 2, 2);
        Put(b, pe + 20, plus ? 240 : 224, 2), Put(b, pe + 22, 0x0102, 2),
            Put(b, opt, plus ? 0x20b : 0x10b, 2);
        Put(b, opt + 60, 0x400), Put(b, opt + 68, 2, 2), Put(b, dirs - 4, 16), Put(b, dirs + 32, 0x1e00);
        Put(b, dirs + 36, 0x200);
        for (size_t s = 0; s < 2; ++s)
            Put(b, sections + s * 40 + 16, 0xd00), Put(b, sections + s * 40 + 20, 0x400 + s * 0xd00);
    }
    bool Startable(uint16_t native = kMachineAmd64, size_t fileBytes = 0x2000) const {
        return IsStartableProgram(b.data(), kImageHeadBytes, fileBytes, native);
    }
};

TEST(ProgramImage, AProgramForThisProcessorWhoseSizesFitTheFile) {
    EXPECT_TRUE(Program().Startable(kMachineI386));
    EXPECT_TRUE(Program(kMachineAmd64).Startable());
    EXPECT_FALSE(Program(kMachineAmd64).Startable(kMachineI386)); // another processor's program
    EXPECT_FALSE(Program(0x01c4).Startable());                    // 32-bit ARM
    EXPECT_FALSE(Program().Startable(kMachineAmd64, 0x1fff));     // cut in its signature
    Program unsigned_;
    Put(unsigned_.b, Program::opt + 96 + 36, 0);
    EXPECT_TRUE(unsigned_.Startable(kMachineAmd64, 0x1e00));
    EXPECT_FALSE(unsigned_.Startable(kMachineAmd64, 0x1dff)); // cut in a section
}

TEST(ProgramImage, PagesDllsAndOtherSubsystemsAreNoProgram) {
    const uint8_t page[] = "<html><head><title>Sign in to the network</title></head></html>";
    EXPECT_FALSE(IsStartableProgram(page, sizeof page, sizeof page, kMachineAmd64));
    EXPECT_FALSE(IsStartableProgram(nullptr, 0, 0, kMachineAmd64));
    // A DLL, a driver's subsystem, headers far outside, more sections than the head holds, PE32+ on x86.
    for (auto [at, value, bytes] : {std::tuple{Program::pe + 22, 0x2102u, 2},
                                    {Program::opt + 68, 1u, 2},
                                    {0x3c, 0xfffffff0u, 4},
                                    {Program::pe + 6, 200u, 2},
                                    {Program::opt, 0x20bu, 2}}) {
        Program p;
        Put(p.b, at, value, bytes);
        EXPECT_FALSE(p.Startable()) << at;
    }
}

TEST(Signer, OnlyTheExactNameWholeAndOrdinalAndNeverRevoked) {
    const wchar_t* vendor = L"MORVELT Test Vendor";
    EXPECT_TRUE(IsExactSigner(vendor, 19, vendor));
    EXPECT_TRUE(IsExactSigner(vendor, 20, vendor));                  // the terminator Wine's decoder counts
    EXPECT_FALSE(IsExactSigner(L"MORVELT TEST VENDOR", 19, vendor)); // case
    EXPECT_FALSE(IsExactSigner(L"MORVELT Test Ven\u00addor", 20, vendor)); // soft hyphen
    EXPECT_FALSE(IsExactSigner(L"MORVELT Test Vendor\0Evil", 24, vendor)); // what follows a zero counts
    EXPECT_FALSE(IsExactSigner(vendor, 18, vendor));                       // a prefix
    EXPECT_TRUE(TrustVerdictAccepted(kTrustOk, 0));
    EXPECT_FALSE(TrustVerdictAccepted(kTrustOk, 0x4)); // revoked, though the answer was clean
    EXPECT_TRUE(TrustVerdictAccepted(kRevocationFailure, kRevocationUnknown | kOfflineRevocation));
    EXPECT_FALSE(TrustVerdictAccepted(kRevocationFailure, kRevocationUnknown | 0x20)); // and untrusted
}

TEST(FolderOfFile, BeforeTheLastBackslashAndTheRootWhole) {
    wchar_t folder[16];
    ASSERT_TRUE(FolderOfFile(L"C:\\Apps\\x\\u.exe", folder, 16));
    EXPECT_STREQ(folder, L"C:\\Apps\\x");
    ASSERT_TRUE(FolderOfFile(L"C:\\u.exe", folder, 16));
    EXPECT_STREQ(folder, L"C:\\");
    EXPECT_FALSE(FolderOfFile(L"u.exe", folder, 16));
    EXPECT_FALSE(FolderOfFile(L"C:\\a-folder-too-long\\u.exe", folder, 16));
}

} // namespace
