#pragma once
// Whether a file's first bytes describe a Windows program this machine can start. Networks answer
// a download with sign-in and error pages, and servers cut transfers short; none of that may cost
// the user the installed product, so it is refused before anything is removed.
#include <cstddef>
#include <cstdint>

// How much of the file's head the check reads; headers that do not fit count as no program.
constexpr size_t kImageHeadBytes = 4096;

constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineArm64 = 0xaa64;

// True for a PE program (not a DLL) for the Windows GUI or console subsystem whose processor the
// machine runs (nativeMachine: the machine's own, one of the kMachine values), and whose
// headers, sections and signature all lie within the file's fileBytes. head holds the file's
// first headBytes bytes (all of it when shorter than kImageHeadBytes).
[[nodiscard]] bool IsStartableProgram(const uint8_t* head, size_t headBytes, uint64_t fileBytes,
                                      uint16_t nativeMachine);
