#pragma once
// The resume script's bytes: start "MORVELT" "<installer path>" <arguments> CR LF exit CR LF.
#include <cstddef>

constexpr size_t kInstallerPathBytes = 260; // the ANSI path buffer; the path is at most 259
constexpr size_t kResumeScriptMaxBytes = 27 + (kInstallerPathBytes - 1) + 5;

// The five pieces in write order; piece 2 is the path cut to 259 bytes.
struct ResumeScriptPieces {
    const char* text[5];
    size_t length[5];
};
ResumeScriptPieces ResumeScriptLayout(const char* installerPath, const char* resumeArguments);

// The whole script as one byte string (for tests and for comparison); answers its length.
size_t BuildResumeScript(char* out, size_t capacity, const char* installerPath, const char* resumeArguments);
