// A download's progress notifications in any order and at any pace: sizes as the download
// service may give them (progress beyond the maximum, maximum 0, totals up to 4 GiB) and a
// clock that may stand still or go back.
// Input: records of 9 bytes: progress (4), maximum (4), signed clock step in seconds (1).
#include "session/progress_rules.h"

#include "fuzz_check.h"

// The rules library is built without coverage instrumentation; compiling the progress rules
// and the formatter into this target lets libFuzzer see their branches. The library's copies
// are then never linked in.
#include "base/format_bounded.cpp"
#include "session/progress_rules.cpp"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {
uint32_t Read32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int64_t created = 1700000000;
    progress::Figures f;
    f.createdAt = created;
    int64_t now = created;
    uint32_t lastMaximum = 0;
    for (size_t i = 0; i + 9 <= size; i += 9) {
        uint32_t progressBytes = Read32(data + i);
        uint32_t maximum = Read32(data + i + 4);
        now += static_cast<int8_t>(data[i + 8]);

        progress::Figures before = f;
        progress::Effects e = progress::ApplyProgress(f, progressBytes, maximum, now);
        if (maximum == 0) {
            FUZZ_CHECK(!e.statusChanged && !e.detailChanged && !e.expand);
            FUZZ_CHECK(f.lastPercent == before.lastPercent &&
                       f.bytesAtLastSample == before.bytesAtLastSample && f.totalBytes == before.totalBytes &&
                       f.fraction == before.fraction && f.lastSampleTime == before.lastSampleTime);
            continue;
        }
        lastMaximum = maximum;
        FUZZ_CHECK(f.totalBytes == lastMaximum);
        FUZZ_CHECK(f.lastPercent >= 0);
        FUZZ_CHECK(e.statusChanged == (f.lastPercent != before.lastPercent));
        if (e.statusChanged) {
            wchar_t expected[progress::kTextUnits];
            std::swprintf(expected, progress::kTextUnits, L"Downloading MORVELT... %d%%", f.lastPercent);
            FUZZ_CHECK(std::wcscmp(e.statusText, expected) == 0);
        }
        // The detail line always fits its 100 units: it is never left empty when written.
        if (e.detailChanged) {
            size_t n = std::wcslen(e.detailText);
            FUZZ_CHECK(n > 0 && n < static_cast<size_t>(progress::kTextUnits));
            FUZZ_CHECK(e.detailText[0] == L'(' && e.detailText[n - 1] == L')');
            FUZZ_CHECK(std::wcsstr(e.detailText, L", Time Left: ") != nullptr);
            FUZZ_CHECK(before.lastSampleTime != 0 && now - before.lastSampleTime > 2);
        }
        // A sample moves the reference on, whether or not it wrote the line.
        if (before.lastSampleTime != 0 && now - before.lastSampleTime > 2) {
            FUZZ_CHECK(f.lastSampleTime == now && f.bytesAtLastSample == progressBytes);
        } else if (before.lastSampleTime != 0) {
            FUZZ_CHECK(f.lastSampleTime == before.lastSampleTime &&
                       f.bytesAtLastSample == before.bytesAtLastSample);
        }
        FUZZ_CHECK(e.expand == (now - created > 5));
    }
    return 0;
}
