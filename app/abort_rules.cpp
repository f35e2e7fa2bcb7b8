#include "app/abort_rules.h"

#include "session/progress_rules.h"

EventCode AbortEvent(const AbortStage& stage) {
    if (!stage.statusExists) return AbortedOther;
    if (!stage.downloadComplete) return AbortedDuringDownload;
    return stage.packageRunning ? AbortedDuringInstall : AbortedOther;
}

double AbortSpeed(uint32_t totalBytes, double fraction, int64_t createdAt, int64_t now) {
    double kilobytes = static_cast<double>(totalBytes) * 0.0009765625 * fraction;
    return progress::AverageSpeed(kilobytes, now - createdAt);
}
