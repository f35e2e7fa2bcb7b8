#include "net/reports.h"

#include "base/setup_state.h"
#include "net/vendor_connection.h"

namespace {
// Each thread's sequence state, starting at 1. The slot starts at 0 on every thread, so it
// holds the state minus one.
const DWORD g_randomSlot = TlsAlloc();
} // namespace

int NextRandom() {
    DWORD slot = g_randomSlot;
    uint32_t state = static_cast<uint32_t>(reinterpret_cast<UINT_PTR>(TlsGetValue(slot))) + 1u;
    int value = RandomStep(state);
    TlsSetValue(slot, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(state - 1u)));
    return value;
}

void ReportEvent(EventCode code, const wchar_t* extras) {
    VendorRequest r;
    if (!OpenVendorConnection(r)) return;
    wchar_t target[kTargetUnits];
    // All or nothing: a target that did not fit is empty, and the server refuses the request.
    static_cast<void>(BuildReportTarget(target, NextRandom(), g_setup.sessionId, code, extras));
    if (SendVendorGet(r, target) != ExchangeResult::Received) return;
    // Drain the answer; nobody reads it. Without a buffer the same bytes would be offered
    // again on every pass, so the drain ends there rather than spin.
    for (;;) {
        DWORD available = 0;
        (void)WinHttpQueryDataAvailable(r.request.get(), &available);
        raii::heap_bytes chunk(static_cast<size_t>(available) + 1);
        if (!chunk) break;
        DWORD read = 0;
        (void)WinHttpReadData(r.request.get(), chunk.get(), available, &read);
        if (available == 0) break;
    }
}

namespace {
// Static, not on the caller's stack: the thread may still read it after the caller stopped
// waiting.
struct ClosingReport {
    EventCode code;
    bool hasExtras;
    wchar_t extras[kExtraUnits];
};
ClosingReport g_closingReport;

DWORD WINAPI ClosingReportThread(LPVOID) {
    ReportEvent(g_closingReport.code, g_closingReport.hasExtras ? g_closingReport.extras : nullptr);
    return 0;
}
} // namespace

void ReportEventWithin(EventCode code, const wchar_t* extras, DWORD timeoutMs) {
    g_closingReport.code = code;
    g_closingReport.hasExtras = extras != nullptr;
    if (extras) lstrcpynW(g_closingReport.extras, extras, kExtraUnits);
    raii::unique_handle thread(CreateThread(nullptr, 0, ClosingReportThread, nullptr, 0, nullptr));
    if (!thread) {
        ReportEvent(code, extras);
        return;
    }
    // Whether it ended in time changes nothing: the program closes either way.
    (void)WaitForSingleObject(thread.get(), timeoutMs);
}

DWORD WINAPI ReportThread(LPVOID code) {
    ReportEvent(static_cast<EventCode>(reinterpret_cast<INT_PTR>(code)), nullptr);
    return 0;
}

void StartReportThread(EventCode code) {
    raii::unique_handle thread(CreateThread(
        nullptr, 0, ReportThread, reinterpret_cast<LPVOID>(static_cast<INT_PTR>(code)), 0, nullptr));
}
