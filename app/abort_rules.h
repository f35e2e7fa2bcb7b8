#pragma once
// Which report an abort sends, and the speed it carries.
#include <cstdint>

#include "net/report_rules.h"

struct AbortStage {
    bool statusExists;
    bool downloadComplete;
    bool packageRunning;
};

EventCode AbortEvent(const AbortStage& stage);

// Average rate in kB/s since the status object was created: totalBytes/1024 * fraction over
// the whole seconds elapsed. With no whole second elapsed the answer is 0.
double AbortSpeed(uint32_t totalBytes, double fraction, int64_t createdAt, int64_t now);
