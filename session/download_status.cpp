#include "session/download_status.h"

#include "base/setup_state.h"
#include "look/texts.h"

#include <ctime>
#include <memory>
#include <cwchar>

int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

namespace {
class SystemClock final : public progress::Clock {
public:
    int64_t Now() override { return NowSeconds(); }
};
} // namespace

DownloadStatus::DownloadStatus(HWND mainWindow) : createdAt(NowSeconds()), mainWindow_(mainWindow) {
    figures.createdAt = createdAt;
    SetStatusText(text::kConnecting);
    InvalidateStatus();
}

STDMETHODIMP DownloadStatus::QueryInterface(REFIID, void** object) {
    if (object) *object = nullptr;
    return E_NOINTERFACE;
}

void DownloadStatus::WriteText(wchar_t* field, const wchar_t* text) {
    wchar_t staged[progress::kTextUnits] = {};
    wcsncpy(staged, text, progress::kTextUnits - 1);
    textSequence_.fetch_add(1, std::memory_order_acq_rel); // odd: a write is under way
    std::atomic_thread_fence(std::memory_order_release);
    memcpy(field, staged, sizeof staged);
    textSequence_.fetch_add(1, std::memory_order_release); // even: whole again
}

void DownloadStatus::SetStatusText(const wchar_t* text) { WriteText(statusText_, text); }
void DownloadStatus::SetDetailText(const wchar_t* text) { WriteText(detailText_, text); }

void DownloadStatus::Snapshot(StatusSnapshot& out) const {
    for (int attempt = 0; attempt < 200; ++attempt) {
        uint32_t before = textSequence_.load(std::memory_order_acquire);
        if (before & 1u) {
            ::Sleep(0);
            continue;
        }
        StatusSnapshot copy;
        memcpy(copy.statusText, statusText_, sizeof copy.statusText);
        memcpy(copy.detailText, detailText_, sizeof copy.detailText);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (textSequence_.load(std::memory_order_relaxed) != before) continue;
        copy.statusText[progress::kTextUnits - 1] = 0;
        copy.detailText[progress::kTextUnits - 1] = 0;
        copy.expanded = layout.expanded.load();
        copy.layoutOffset = layout.offset.load();
        out = copy;
        return;
    }
}

void DownloadStatus::InvalidateStatus() { look::InvalidateStatusBand(mainWindow_, layout.offset.load()); }

STDMETHODIMP DownloadStatus::OnProgress(ULONG progressBytes, ULONG maximum, ULONG, LPCWSTR) {
    if (abortRequested.load()) return E_ABORT;
    if (maximum == 0) return S_OK;

    int offset = layout.offset.load();
    SystemClock clock;
    progress::Effects effects = progress::ApplyProgress(figures, progressBytes, maximum, clock);
    fraction = figures.fraction;
    lastPercent = figures.lastPercent;
    if (effects.statusChanged) {
        SetStatusText(effects.statusText);
        InvalidateStatus();
    }
    if (effects.detailChanged) {
        SetDetailText(effects.detailText);
        look::InvalidateDetailBand(mainWindow_, offset);
    }
    if (effects.expand) look::ExpandLayout(layout, mainWindow_);
    totalBytes = figures.totalBytes;
    return S_OK;
}

void RetireCurrentStatus(HWND window) {
    // If the message cannot be posted the instance is kept rather than risked.
    if (DownloadStatus* old = g_setup.status.take())
        PostMessageW(window, kRetireStatusMessage, 0, reinterpret_cast<LPARAM>(old));
}

void MakeCurrentStatus(HWND window) { g_setup.status.set(std::make_unique<DownloadStatus>(window)); }

void ShowNotInstalled() {
    DownloadStatus* status = g_setup.status.get();
    if (!status) return;
    status->SetStatusText(text::kNotInstalled);
    status->InvalidateStatus();
}

void ShowDownloadFailed() {
    DownloadStatus* status = g_setup.status.get();
    if (!status) return;
    status->SetStatusText(text::kDownloadFailed);
    status->SetDetailText(L"");
    status->succeeded = false;
    status->InvalidateStatus();
    status->CollapseLayout();
}

void EnterRestartPending() {
    g_setup.restartPending = true;
    look::ShowBarFinished(g_setup.progressBar, look::BarEnd::Failed);
    if (DownloadStatus* status = g_setup.status.get()) {
        status->succeeded = false;
        status->SetStatusText(text::kRestartToContinue);
        status->InvalidateStatus();
    }
    EnableWindow(g_setup.installButton, FALSE);
}
