// The platform's limit for the package download: the same download service the installer
// uses, with a callback that does nothing but count, and nothing else around it.
// plain_download <url> <file>: prints the seconds, the bytes, the progress calls and the
// calendar time at which the call returned (Unix seconds: the host's clock under Wine), so
// the file's arrival can be set against the server's record of the request.
#include <windows.h>
#include <urlmon.h>
#include <cstdio>

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
} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: plain_download <url> <file>\n");
        return 2;
    }
    CountingCallback callback;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    HRESULT result = URLDownloadToFileW(nullptr, argv[1], argv[2], 0, &callback);
    QueryPerformanceCounter(&end);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
    constexpr ULONGLONG kUnixEpochTicks = 116444736000000000ULL; // 1970-01-01 in 100 ns units since 1601
    double returnedAt = static_cast<double>(ticks.QuadPart - kUnixEpochTicks) / 1e7;
    double seconds =
        static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("{\"result\":\"0x%08lx\",\"seconds\":%.3f,\"bytes\":%lu,\"progress_calls\":%lu,"
                "\"returned_at\":%.3f}\n",
                static_cast<unsigned long>(result), seconds, callback.last, callback.calls, returnedAt);
    std::fflush(stdout);
    return result == S_OK ? 0 : 1;
}
