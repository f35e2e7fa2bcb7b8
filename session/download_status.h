#pragma once
// Status of one install attempt: the texts the window shows, the figures behind them, the
// stage flags the close and command handlers read, and the download's progress callback.
#include <windows.h>
#include <urlmon.h>
#include <atomic>
#include <cstdint>

#include "look/look.h"
#include "net/package_source.h"
#include "session/progress_rules.h"

// What the painter needs, copied out as one consistent whole.
struct StatusSnapshot {
    wchar_t statusText[progress::kTextUnits] = {};
    wchar_t detailText[progress::kTextUnits] = {};
    bool expanded = false;
    int layoutOffset = 0;
};

class DownloadStatus : public DownloadProgress {
public:
    explicit DownloadStatus(HWND mainWindow);
    virtual ~DownloadStatus() = default;

    // IUnknown: no interface is handed out and nothing is counted; the owner deletes.
    STDMETHODIMP QueryInterface(REFIID, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG progress, ULONG maximum, ULONG statusCode, LPCWSTR statusText) override;
    STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }

    uint32_t AnnouncedBytes() const override { return totalBytes.load(); }

    void InvalidateStatus();
    void CollapseLayout() { look::CollapseLayout(layout, mainWindow_); }

    // Texts are built aside and swapped in under a sequence count, so the painter copies a
    // whole text or tries again; it never waits for the writer.
    void SetStatusText(const wchar_t* text);
    void SetDetailText(const wchar_t* text);
    // Leaves out as it was only when a writer stayed in the middle of a write for every try
    // (a writer that was ended there): the painter then draws its previous snapshot again.
    void Snapshot(StatusSnapshot& out) const;

    // Figures and flags, read by other threads as whole values.
    progress::Figures figures;
    std::atomic<bool> succeeded{false};
    std::atomic<bool> downloadComplete{false};
    std::atomic<bool> packageRunning{false};
    std::atomic<bool> abortRequested{false};
    look::Layout layout;
    std::atomic<uint32_t> totalBytes{0};
    std::atomic<int32_t> lastPercent{-1};
    std::atomic<double> fraction{0.0};
    const int64_t createdAt;

private:
    void WriteText(wchar_t* field, const wchar_t* text);

    wchar_t statusText_[progress::kTextUnits] = {};
    wchar_t detailText_[progress::kTextUnits] = {};
    mutable std::atomic<uint32_t> textSequence_{0};
    HWND mainWindow_;
};

// Calendar time in whole seconds since 1970.
int64_t NowSeconds();

// Hands the current instance (if any) to the window for deletion: the painter may be reading
// it, so only the user-interface thread deletes it (kRetireStatusMessage).
void RetireCurrentStatus(HWND window);
// Makes a fresh instance the current one (g_setup.status).
void MakeCurrentStatus(HWND window);

// Replace the status text of the current instance and invalidate its band.
void ShowNotInstalled();
void ShowDownloadFailed();

// The restart-pending look: the bar full in its error state, the text asking for a restart,
// the button disabled for good.
void EnterRestartPending();
