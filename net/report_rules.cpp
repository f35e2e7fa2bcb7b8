#include "net/report_rules.h"

#include "base/format_bounded.h"

int RandomStep(uint32_t& state) {
    state = state * 214013u + 2531011u;
    return static_cast<int>((state >> 16) & 0x7FFFu);
}

#ifndef _WIN32
// The executable keeps the state in a thread-local slot of its own (net/reports.cpp): the
// compiler's thread_local would bring a threads library into it.
int NextRandom() {
    thread_local uint32_t state = 1;
    return RandomStep(state);
}
#endif

int BuildReportTarget(wchar_t* out, int r, const wchar_t* sessionId, EventCode code, const wchar_t* extras) {
    if (extras)
        return FormatBounded(out, kTargetUnits, L"/wp-json/hlv/api?r=%d&session=%s&webinst=true&type=%d%s", r,
                             sessionId, static_cast<int>(code), extras);
    return FormatBounded(out, kTargetUnits, L"/wp-json/hlv/api?r=%d&session=%s&webinst=true&type=%d", r,
                         sessionId, static_cast<int>(code));
}

int BuildLookupTarget(wchar_t* out, int r) {
    return FormatBounded(out, kTargetUnits,
                         L"/index.php?option=com_hlvauth&r=%d&morvelt=true&info=true&file=true", r);
}

int FormatSpeedExtra(wchar_t* out, double speed) {
    return FormatBounded(out, kExtraUnits, L"&speed=%10.3f", speed);
}

int FormatCodeExtra(wchar_t* out, int32_t code) { return FormatBounded(out, kExtraUnits, L"&code=%d", code); }

int FormatAbortExtra(wchar_t* out, double speed, int32_t lastPercent) {
    return FormatBounded(out, kExtraUnits, L"&speed=%10.3f&comp=%d", speed, lastPercent);
}
