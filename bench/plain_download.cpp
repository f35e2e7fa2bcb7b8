// The platform's limit for the package download: the same download service the installer
// uses, with a callback that does nothing but count, and nothing else around it.
// plain_download <url> <file> [--marquee]: prints the seconds, the bytes, the progress calls and
// the calendar time at which the call returned (Unix seconds: the host's clock under Wine), so
// the file's arrival can be set against the server's record of the request.
// With --marquee it also shows a window of the installer's size holding nothing but a marquee
// progress bar in the installer's place, and downloads on a second thread while the first pumps
// messages, as the installer does: what the platform's own animation costs a download.
#include <windows.h>
#include <commctrl.h>
#include <urlmon.h>
#include <cstdio>
#include <cwchar>

#include "base/raii.h"
#include "look/look.h"

namespace {
class CountingCallback : public IBindStatusCallback {
public:
    ULONG calls = 0;
    ULONG last = 0;
    STDMETHODIMP QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG progress, ULONG, ULONG, LPCWSTR) override {
        ++calls;
        last = progress;
        return S_OK;
    }
    STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }
};

struct Download {
    const wchar_t* url;
    const wchar_t* file;
    CountingCallback callback;
    HRESULT result = E_FAIL;
    double seconds = 0;
    DWORD notifyThread = 0; // gets WM_QUIT when the download returns (marquee mode)
};

DWORD WINAPI RunDownload(void* parameter) {
    auto* d = static_cast<Download*>(parameter);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    d->result = URLDownloadToFileW(nullptr, d->url, d->file, 0, &d->callback);
    QueryPerformanceCounter(&end);
    d->seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    if (d->notifyThread) PostThreadMessageW(d->notifyThread, WM_QUIT, 0, 0);
    return 0;
}

// The installer's bar, alone in a window of the installer's size, animating until the download
// returns. Returns false when the window or the thread cannot be made.
bool DownloadUnderMarquee(Download& d) {
    // As in the installer, the manifest's v6 controls register their classes at first use.
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW cls{};
    cls.lpfnWndProc = DefWindowProcW;
    cls.hInstance = instance;
    cls.lpszClassName = L"PlainMarquee";
    raii::unique_hgdiobj face(CreateSolidBrush(look::kFace));
    cls.hbrBackground = static_cast<HBRUSH>(face.get());
    RegisterClassW(&cls);
    // The installer's window style: a pop-up that does not clip its children.
    HWND window = CreateWindowExW(0, cls.lpszClassName, L"plain", WS_POPUP, 0, 0, look::kWidth, look::kHeight,
                                  nullptr, nullptr, instance, nullptr);
    constexpr look::Box bar = look::kBarBox;
    HWND progress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, bar.x,
                                    bar.y, bar.width, bar.height, window, nullptr, instance, nullptr);
    if (!window || !progress) return false;
    ShowWindow(window, SW_SHOWNORMAL);
    // The installer's running bar: the marquee style, the control's default interval.
    SetWindowLongW(progress, GWL_STYLE, GetWindowLongW(progress, GWL_STYLE) | PBS_MARQUEE);
    SendMessageW(progress, PBM_SETMARQUEE, TRUE, 0);
    d.notifyThread = GetCurrentThreadId();
    raii::unique_handle worker(CreateThread(nullptr, 0, RunDownload, &d, 0, nullptr));
    if (!worker) return false;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    WaitForSingleObject(worker.get(), INFINITE);
    return true;
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    bool marquee = argc == 4 && std::wcscmp(argv[3], L"--marquee") == 0;
    if (argc != 3 && !marquee) {
        std::fprintf(stderr, "usage: plain_download <url> <file> [--marquee]\n");
        return 2;
    }
    Download d{argv[1], argv[2], {}};
    if (marquee) {
        if (!DownloadUnderMarquee(d)) return 3;
    } else {
        RunDownload(&d);
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
    constexpr ULONGLONG kUnixEpochTicks = 116444736000000000ULL; // 1970-01-01 in 100 ns units since 1601
    double returnedAt = static_cast<double>(ticks.QuadPart - kUnixEpochTicks) / 1e7;
    std::printf("{\"result\":\"0x%08lx\",\"seconds\":%.3f,\"bytes\":%lu,\"progress_calls\":%lu,"
                "\"returned_at\":%.3f}\n",
                static_cast<unsigned long>(d.result), d.seconds, d.callback.last, d.callback.calls,
                returnedAt);
    std::fflush(stdout);
    return d.result == S_OK ? 0 : 1;
}
