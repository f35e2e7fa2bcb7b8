#include "session/download_status.h"

#include "base/setup_state.h"

#include <ctime>
#include <cwchar>

int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

namespace {
class SystemClock final : public progress::Clock {
public:
    int64_t Now() override { return NowSeconds(); }
};
} // namespace

DownloadStatus::DownloadStatus(HWND mainWindow)
    : createdAt(NowSeconds()), mainWindow_(mainWindow), progressBar_(g_setup.progressBar),
      tutorialLink_(g_setup.tutorialLink), installButton_(g_setup.installButton) {
    figures.createdAt = createdAt;
    SetStatusText(L"Connecting to MORVELT Server...");
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

bool DownloadStatus::Snapshot(StatusSnapshot& out) const {
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
        copy.expanded = expanded.load();
        copy.layoutOffset = layoutOffset.load();
        out = copy;
        return true;
    }
    return false;
}

void DownloadStatus::InvalidateStatus() {
    int offset = layoutOffset.load();
    RECT band{0, offset + 98, 500, offset + 183};
    InvalidateRect(mainWindow_, &band, TRUE);
}

void DownloadStatus::InvalidateWindow() {
    RECT all{0, 0, 500, 330};
    InvalidateRect(mainWindow_, &all, TRUE);
}

void DownloadStatus::ExpandLayout() {
    if (!expanded.load()) {
        // The flag changes with the offset, before any move or invalidation asks for a paint:
        // a paint between them would draw the moved band without its line, and the band's own
        // later repaints never reach that line again.
        layoutOffset = -40;
        expanded = true;
        MoveWindow(progressBar_, 20, 155, 460, 30, TRUE);
        MoveWindow(installButton_, 150, 260, 200, 30, TRUE);
        ShowWindow(tutorialLink_, SW_SHOWNORMAL);
        InvalidateWindow();
        RECT linkArea{0, 0, 500, 330};
        InvalidateRect(tutorialLink_, &linkArea, TRUE);
    }
    expanded = true;
}

void DownloadStatus::CollapseLayout() {
    if (expanded.load()) {
        layoutOffset = 0;
        expanded = false;
        MoveWindow(progressBar_, 20, 185, 460, 30, TRUE);
        MoveWindow(installButton_, 150, 245, 200, 30, TRUE);
        ShowWindow(tutorialLink_, SW_HIDE);
        InvalidateWindow();
    }
    expanded = false;
}

STDMETHODIMP DownloadStatus::OnProgress(ULONG progressBytes, ULONG maximum, ULONG, LPCWSTR) {
    if (abortRequested.load()) return E_ABORT;
    if (maximum == 0) return S_OK;

    int offset = layoutOffset.load();
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
        RECT detail{0, offset + 133, 500, offset + 193};
        InvalidateRect(mainWindow_, &detail, TRUE);
    }
    if (effects.expand) ExpandLayout();
    totalBytes = figures.totalBytes;
    return S_OK;
}

void ShowNotInstalled() {
    DownloadStatus* status = g_setup.currentStatus.load();
    if (!status) return;
    status->SetStatusText(L"MORVELT is not installed correctly");
    status->InvalidateStatus();
}

void ShowDownloadFailed() {
    DownloadStatus* status = g_setup.currentStatus.load();
    if (!status) return;
    status->SetStatusText(L"Cannot download MORVELT package, please try again.");
    status->SetDetailText(L"");
    status->succeeded = false;
    status->InvalidateStatus();
    status->CollapseLayout();
}
