#include "restart/resume_script_rules.h"

#include <cstring>

namespace {
constexpr char kOpening[] = "start \"MORVELT\" \"";
constexpr char kClosing[] = "\" ";
constexpr char kEnding[] = "\r\nexit\r\n";
} // namespace

ResumeScriptPieces ResumeScriptLayout(const char* installerPath, const char* resumeArguments) {
    size_t pathLength = strnlen(installerPath, kInstallerPathBytes - 1);
    return {
        {kOpening, installerPath, kClosing, resumeArguments, kEnding},
        {sizeof kOpening - 1, pathLength, sizeof kClosing - 1, strlen(resumeArguments), sizeof kEnding - 1}};
}

size_t BuildResumeScript(char* out, size_t capacity, const char* installerPath, const char* resumeArguments) {
    ResumeScriptPieces pieces = ResumeScriptLayout(installerPath, resumeArguments);
    size_t total = 0;
    for (size_t i = 0; i < 5; ++i) total += pieces.length[i];
    if (total > capacity) return 0;
    size_t offset = 0;
    for (size_t i = 0; i < 5; ++i) {
        memcpy(out + offset, pieces.text[i], pieces.length[i]);
        offset += pieces.length[i];
    }
    return offset;
}
