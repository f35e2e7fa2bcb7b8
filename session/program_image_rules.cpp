#include "session/program_image_rules.h"

namespace {
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kDll = 0x2000;
constexpr uint16_t kPe32 = 0x010b;
constexpr uint16_t kPe32Plus = 0x020b;
constexpr uint16_t kSubsystemGui = 2;
constexpr uint16_t kSubsystemConsole = 3;
constexpr size_t kFileHeaderBytes = 20;
constexpr size_t kSectionBytes = 40;
constexpr uint16_t kMostSections = 96; // the loader's own limit
constexpr uint32_t kSecurityDirectory = 4;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Read32(const uint8_t* p) { return Read16(p) | static_cast<uint32_t>(Read16(p + 2)) << 16; }

// An x86 program runs everywhere (WOW64, or emulation on ARM64); an x64 one on x64 and on ARM64
// (Windows 11 emulates it); an ARM64 one only there.
bool MachineRuns(uint16_t image, uint16_t native) {
    if (image == kMachineI386) return true;
    if (image == kMachineAmd64) return native == kMachineAmd64 || native == kMachineArm64;
    return image == kMachineArm64 && native == kMachineArm64;
}

bool Fits(uint64_t offset, uint64_t size, uint64_t fileBytes) {
    return offset <= fileBytes && size <= fileBytes - offset;
}
} // namespace

bool IsStartableProgram(const uint8_t* head, size_t headBytes, uint64_t fileBytes, uint16_t nativeMachine) {
    if (!head || headBytes > fileBytes || headBytes < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
    const uint64_t pe = Read32(head + 0x3c);
    if (pe + 4 + kFileHeaderBytes > headBytes || Read32(head + pe) != 0x00004550) return false; // "PE\0\0"
    const uint8_t* file = head + pe + 4;
    const uint16_t machine = Read16(file);
    const uint16_t sections = Read16(file + 2);
    const uint16_t optionalBytes = Read16(file + 16);
    const uint16_t characteristics = Read16(file + 18);
    if (!MachineRuns(machine, nativeMachine) || sections == 0 || sections > kMostSections) return false;
    if (!(characteristics & kExecutableImage) || (characteristics & kDll)) return false;

    const uint64_t optional = pe + 4 + kFileHeaderBytes;
    const uint64_t sectionTable = optional + optionalBytes;
    if (sectionTable + uint64_t{sections} * kSectionBytes > headBytes) return false;
    const uint8_t* opt = head + optional;
    const bool plus = machine != kMachineI386;
    // Magic, subsystem (68), header size (60), and the count of data directories with the
    // directories behind it (92 and 96 in PE32, 108 and 112 in PE32+).
    const uint64_t directories = plus ? 112 : 96;
    if (optionalBytes < directories || Read16(opt) != (plus ? kPe32Plus : kPe32)) return false;
    const uint16_t subsystem = Read16(opt + 68);
    if (subsystem != kSubsystemGui && subsystem != kSubsystemConsole) return false;
    if (Read32(opt + 60) > fileBytes) return false;
    // The signature lies at a file offset of its own, at the file's end: a cut file loses it.
    if (Read32(opt + directories - 4) > kSecurityDirectory &&
        directories + uint64_t{kSecurityDirectory + 1} * 8 <= optionalBytes) {
        const uint8_t* security = opt + directories + uint64_t{kSecurityDirectory} * 8;
        if (Read32(security + 4) != 0 && !Fits(Read32(security), Read32(security + 4), fileBytes))
            return false;
    }
    for (uint16_t i = 0; i < sections; ++i) {
        const uint8_t* section = head + sectionTable + uint64_t{i} * kSectionBytes;
        if (!Fits(Read32(section + 20), Read32(section + 16), fileBytes)) return false;
    }
    return true;
}
