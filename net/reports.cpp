#include "net/reports.h"

#include "app/setup_state.h"
#include "net/vendor_connection.h"

void ReportEvent(EventCode code, const wchar_t* extras) {
    VendorRequest r;
    if (!OpenVendorConnection(r)) return;
    wchar_t target[kTargetUnits];
    BuildReportTarget(target, NextRandom(), g_setup.sessionId, code, extras);
    if (SendVendorGet(r, target) != ExchangeResult::Received) return;
    // Drain the answer; nobody reads it.
    for (;;) {
        DWORD available = 0;
        (void)WinHttpQueryDataAvailable(r.request.get(), &available);
        raii::heap_bytes chunk(static_cast<size_t>(available) + 1);
        DWORD read = 0;
        if (chunk) (void)WinHttpReadData(r.request.get(), chunk.get(), available, &read);
        if (available == 0) break;
    }
}

DWORD WINAPI ReportThread(LPVOID code) {
    ReportEvent(static_cast<EventCode>(reinterpret_cast<INT_PTR>(code)), nullptr);
    return 0;
}

void StartReportThread(EventCode code) {
    raii::unique_handle thread(CreateThread(nullptr, 0, ReportThread,
                                            reinterpret_cast<LPVOID>(static_cast<INT_PTR>(code)), 0, nullptr));
}
