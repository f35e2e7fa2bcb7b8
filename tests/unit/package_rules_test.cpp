#include "base/path_rules.h"
#include "session/program_image_rules.h"
#include "session/signer_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { b[at] = v & 0xff, b[at + 1] = v >> 8; }
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xffff), Put16(b, at + 2, v >> 16);
}

// A 32-bit GUI program of two sections, 0x2000 bytes, signed at 0x1e00.
std::vector<uint8_t> Program(uint16_t machine = kMachineI386) {
    std::vector<uint8_t> b(0x2000);
    const bool plus = machine != kMachineI386;
    const size_t pe = 0x80, opt = pe + 24, optBytes = plus ? 240 : 224, sections = opt + optBytes;
    b[0] = 'M', b[1] = 'Z';
    Put32(b, 0x3c, pe);
    Put32(b, pe, 0x4550);
    Put16(b, pe + 4, machine);
    Put16(b, pe + 6, 2);
    Put16(b, pe + 20, optBytes);
    Put16(b, pe + 22, 0x0102);
    Put16(b, opt, plus ? 0x20b : 0x10b);
    Put32(b, opt + 60, 0x400);
    Put16(b, opt + 68, 2);
    Put32(b, opt + (plus ? 108 : 92), 16);
    Put32(b, opt + (plus ? 112 : 96) + 4 * 8, 0x1e00);
    Put32(b, opt + (plus ? 112 : 96) + 4 * 8 + 4, 0x200);
    for (size_t s = 0; s < 2; ++s) {
        Put32(b, sections + s * 40 + 16, 0xd00);             // raw size
        Put32(b, sections + s * 40 + 20, 0x400 + s * 0xd00); // raw offset
    }
    return b;
}

bool Startable(const std::vector<uint8_t>& b, uint16_t native = kMachineAmd64, size_t fileBytes = 0) {
    return IsStartableProgram(b.data(), std::min(b.size(), kImageHeadBytes), fileBytes ? fileBytes : b.size(),
                              native);
}

TEST(ProgramImage, AProgramForThisProcessorWhoseSizesFitTheFile) {
    EXPECT_TRUE(Startable(Program()));
    EXPECT_TRUE(Startable(Program(), kMachineI386));
    EXPECT_TRUE(Startable(Program(kMachineAmd64)));
    EXPECT_FALSE(Startable(Program(kMachineAmd64), kMachineI386)); // another processor's program
    EXPECT_FALSE(Startable(Program(kMachineArm64), kMachineAmd64));
    EXPECT_FALSE(Startable(Program(0x01c4))); // ARM (32-bit)
    // Cut short: in its signature, or in a section, or before the headers end.
    EXPECT_FALSE(Startable(Program(), kMachineAmd64, 0x1fff));
    std::vector<uint8_t> unsigned_ = Program();
    Put32(unsigned_, 0x80 + 24 + 96 + 32 + 4, 0);
    EXPECT_TRUE(Startable(unsigned_, kMachineAmd64, 0x1e00));
    EXPECT_FALSE(Startable(unsigned_, kMachineAmd64, 0x1dff));
    EXPECT_FALSE(IsStartableProgram(Program().data(), 0x100, 0x100, kMachineAmd64));
}

TEST(ProgramImage, PagesDllsAndOtherSubsystemsAreNoProgram) {
    const char page[] = "<html><head><title>Sign in to the network</title></head></html>";
    EXPECT_FALSE(
        IsStartableProgram(reinterpret_cast<const uint8_t*>(page), sizeof page, sizeof page, kMachineAmd64));
    EXPECT_FALSE(IsStartableProgram(nullptr, 0, 0, kMachineAmd64));
    std::vector<uint8_t> b = Program();
    Put16(b, 0x80 + 22, 0x2102); // a DLL
    EXPECT_FALSE(Startable(b));
    b = Program();
    Put16(b, 0x80 + 24 + 68, 1); // native (a driver)
    EXPECT_FALSE(Startable(b));
    b = Program();
    Put32(b, 0x3c, 0xfffffff0); // headers far outside the file
    EXPECT_FALSE(Startable(b));
    b = Program();
    Put16(b, 0x80 + 6, 200); // more sections than the head holds
    EXPECT_FALSE(Startable(b));
    b = Program();
    Put16(b, 0x80 + 24, 0x20b); // PE32+ magic on an x86 program
    EXPECT_FALSE(Startable(b));
}

TEST(Signer, OnlyTheExactNameWholeAndOrdinal) {
    const wchar_t* vendor = L"MORVELT Test Vendor";
    EXPECT_TRUE(IsExactSigner(vendor, 19, vendor));
    EXPECT_TRUE(IsExactSigner(vendor, 20, vendor)); // with the terminator Wine's decoder counts
    EXPECT_FALSE(IsExactSigner(L"MORVELT TEST VENDOR", 19, vendor));       // case
    EXPECT_FALSE(IsExactSigner(L"MORVELT Test Ven\u00addor", 20, vendor)); // soft hyphen
    EXPECT_FALSE(IsExactSigner(L"MORVELT Test Vendor\u200b", 20, vendor)); // zero-width space
    const wchar_t embedded[] = L"MORVELT Test Vendor\0Evil";
    EXPECT_FALSE(IsExactSigner(embedded, 24, vendor)); // what follows a zero counts
    EXPECT_FALSE(IsExactSigner(vendor, 18, vendor));   // a prefix
    EXPECT_FALSE(IsExactSigner(L"", 0, L""));
}

TEST(Signer, RevokedNeverUnreachableRevocationServerYes) {
    EXPECT_TRUE(TrustVerdictAccepted(kTrustOk, 0));
    EXPECT_FALSE(TrustVerdictAccepted(kTrustOk, 0x4)); // revoked, though the answer was clean
    EXPECT_TRUE(TrustVerdictAccepted(kRevocationFailure, kRevocationUnknown | kOfflineRevocation));
    EXPECT_FALSE(TrustVerdictAccepted(kRevocationFailure, kRevocationUnknown | 0x20)); // and untrusted
    EXPECT_FALSE(TrustVerdictAccepted(kRevocationFailure, 0));
    EXPECT_FALSE(TrustVerdictAccepted(static_cast<int32_t>(0x800B010C), 0x4)); // CERT_E_REVOKED
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
