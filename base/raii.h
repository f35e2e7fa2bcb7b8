#pragma once
// Owners for every platform resource the installer touches. Each releases exactly once, in
// its destructor or on reset(); get() reads, put() hands the slot to an out-parameter after
// releasing what was there.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <oleauto.h>
#include <atomic>
#include <memory>

namespace raii {

// Traits give the "none" value and the release call.
template <typename T, typename Traits>
class Unique {
    static T kNull() { return Traits::Invalid(); }

public:
    Unique() = default;
    explicit Unique(T value) : value_(value) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Unique() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != kNull(); }
    T* put() {
        reset();
        return &value_;
    }
    T release() {
        T v = value_;
        value_ = kNull();
        return v;
    }
    void reset(T value = kNull()) {
        if (value_ != kNull()) Traits::Close(value_);
        value_ = value;
    }

private:
    T value_ = kNull();
};

struct HandleTraits {
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FileTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FindTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::FindClose(h); }
};
struct HkeyTraits {
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY k) { ::RegCloseKey(k); }
};
struct HinternetTraits {
    static HINTERNET Invalid() { return nullptr; }
    static void Close(HINTERNET h) { ::WinHttpCloseHandle(h); }
};
struct GdiTraits {
    static HGDIOBJ Invalid() { return nullptr; }
    static void Close(HGDIOBJ o) { ::DeleteObject(o); }
};

struct CryptProvTraits {
    static HCRYPTPROV Invalid() { return 0; }
    static void Close(HCRYPTPROV p) { ::CryptReleaseContext(p, 0); }
};
struct CryptHashTraits {
    static HCRYPTHASH Invalid() { return 0; }
    static void Close(HCRYPTHASH h) { ::CryptDestroyHash(h); }
};

struct DcTraits {
    static HDC Invalid() { return nullptr; }
    static void Close(HDC dc) { ::DeleteDC(dc); }
};
struct LocalTraits {
    static HLOCAL Invalid() { return nullptr; }
    static void Close(HLOCAL p) { ::LocalFree(p); }
};
// Text the system allocated with GlobalAlloc (WinHTTP's proxy settings, for one).
struct GlobalTextTraits {
    static wchar_t* Invalid() { return nullptr; }
    static void Close(wchar_t* text) { ::GlobalFree(text); }
};
struct IconTraits {
    static HICON Invalid() { return nullptr; }
    static void Close(HICON i) { ::DestroyIcon(i); }
};
struct CertStoreTraits {
    static HCERTSTORE Invalid() { return nullptr; }
    static void Close(HCERTSTORE s) { ::CertCloseStore(s, 0); }
};

// Handles whose "none" is null (threads, processes, mutexes, tokens, events).
using unique_handle = Unique<HANDLE, HandleTraits>;
// CreateFile and FindFirstFile answer INVALID_HANDLE_VALUE on failure.
using unique_hfile = Unique<HANDLE, FileTraits>;
using unique_hfind = Unique<HANDLE, FindTraits>;
using unique_hkey = Unique<HKEY, HkeyTraits>;
using unique_hinternet = Unique<HINTERNET, HinternetTraits>;
using unique_hgdiobj = Unique<HGDIOBJ, GdiTraits>;
using unique_hcryptprov = Unique<HCRYPTPROV, CryptProvTraits>;
using unique_hcrypthash = Unique<HCRYPTHASH, CryptHashTraits>;
using unique_hcertstore = Unique<HCERTSTORE, CertStoreTraits>;
using unique_hicon = Unique<HICON, IconTraits>;
// Memory the system allocated for us with LocalAlloc (security descriptors, for one).
using unique_hlocal = Unique<HLOCAL, LocalTraits>;
using unique_global_text = Unique<wchar_t*, GlobalTextTraits>;
// A memory DC of our own (CreateCompatibleDC); DeleteDC.
using unique_hdc = Unique<HDC, DcTraits>;

// A window's DC from GetDC (null window: the screen's), released to that window.
class unique_hdc_window {
public:
    explicit unique_hdc_window(HWND window) : window_(window), dc_(::GetDC(window)) {}
    unique_hdc_window(const unique_hdc_window&) = delete;
    unique_hdc_window& operator=(const unique_hdc_window&) = delete;
    ~unique_hdc_window() {
        if (dc_) ::ReleaseDC(window_, dc_);
    }
    HDC get() const { return dc_; }
    explicit operator bool() const { return dc_ != nullptr; }

private:
    HWND window_;
    HDC dc_;
};

// Selects an object into a DC and puts the previous one back when the scope ends.
class unique_select_object {
public:
    unique_select_object(HDC dc, HGDIOBJ object)
        : dc_(dc), previous_(object ? ::SelectObject(dc, object) : nullptr) {}
    unique_select_object(const unique_select_object&) = delete;
    unique_select_object& operator=(const unique_select_object&) = delete;
    ~unique_select_object() {
        if (previous_) ::SelectObject(dc_, previous_);
    }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// BeginPaint .. EndPaint.
class unique_hdc_paint {
public:
    explicit unique_hdc_paint(HWND window) : window_(window) { dc_ = ::BeginPaint(window, &ps_); }
    unique_hdc_paint(const unique_hdc_paint&) = delete;
    unique_hdc_paint& operator=(const unique_hdc_paint&) = delete;
    ~unique_hdc_paint() { ::EndPaint(window_, &ps_); }
    HDC get() const { return dc_; }

private:
    HWND window_;
    PAINTSTRUCT ps_{};
    HDC dc_;
};

template <typename T>
class com_ptr {
public:
    com_ptr() = default;
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    ~com_ptr() { reset(); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    // Gives up the reference without releasing it.
    T* detach() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }
    // A second counted reference for an out-parameter (null when there is none).
    void copy_to(T** out) const {
        *out = p_;
        if (p_) p_->AddRef();
    }
    void reset() {
        if (p_) {
            T* p = p_;
            p_ = nullptr;
            p->Release();
        }
    }

private:
    T* p_ = nullptr;
};

// A BSTR we allocated; null when there was no memory for it (or oleaut32 could not be
// loaded), which the caller checks: a launch without its text ends, the process goes on.
class unique_bstr {
public:
    explicit unique_bstr(const wchar_t* text) : s_(::SysAllocString(text)) {}
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    ~unique_bstr() { ::SysFreeString(s_); }
    BSTR get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }
    BSTR release() {
        BSTR s = s_;
        s_ = nullptr;
        return s;
    }

private:
    BSTR s_;
};

class unique_variant {
public:
    unique_variant() { ::VariantInit(&v_); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() { ::VariantClear(&v_); }
    VARIANT& get() { return v_; }
    static void SetInt(unique_variant& v, LONG value) {
        ::VariantClear(&v.v_);
        v.v_.vt = VT_I4;
        v.v_.lVal = value;
    }
    // False, leaving the VARIANT empty, when the text could not be copied.
    [[nodiscard]] static bool SetText(unique_variant& v, const wchar_t* text) {
        ::VariantClear(&v.v_);
        unique_bstr copy(text);
        if (!copy) return false;
        v.v_.vt = VT_BSTR;
        v.v_.bstrVal = copy.release();
        return true;
    }

private:
    VARIANT v_;
};

// One worker thread at a time. Only the thread that starts it keeps and closes the handle;
// the worker itself only says, as its last step, that it has finished. The handle of a
// finished worker is closed by the next start or at the end of the process.
class unique_worker {
public:
    unique_worker() = default;
    unique_worker(const unique_worker&) = delete;
    unique_worker& operator=(const unique_worker&) = delete;

    [[nodiscard]] bool start(LPTHREAD_START_ROUTINE procedure, void* parameter) {
        busy_ = true;
        thread_.reset(::CreateThread(nullptr, 0, procedure, parameter, 0, nullptr));
        if (!thread_) busy_ = false;
        return static_cast<bool>(thread_);
    }
    [[nodiscard]] bool busy() const { return busy_.load(); }
    // Called by the worker once it has done everything a new attempt could disturb.
    void finished() { busy_ = false; }
    // Ends the worker wherever it is (after an abort, which it may be parked for). The end is
    // asynchronous: the handle is closed only once the thread is gone, or after waitMs.
    void terminate(DWORD waitMs) {
        if (thread_ && ::TerminateThread(thread_.get(), 0))
            (void)::WaitForSingleObject(thread_.get(), waitMs);
        thread_.reset();
        busy_ = false;
    }

private:
    unique_handle thread_;
    std::atomic<bool> busy_{false};
};

// A handle any of several threads may close: whoever takes it out closes it, exactly once.
class shared_unique_handle {
public:
    shared_unique_handle() = default;
    shared_unique_handle(const shared_unique_handle&) = delete;
    shared_unique_handle& operator=(const shared_unique_handle&) = delete;
    ~shared_unique_handle() { reset(); }

    HANDLE get() const { return value_.load(); }
    // Takes the handle out (or null when another thread took it first); the caller owns it.
    HANDLE release() { return value_.exchange(nullptr); }
    // Takes ownership of an open handle (null: none), closing the one held before.
    void reset(HANDLE value = nullptr) {
        if (HANDLE old = value_.exchange(value)) ::CloseHandle(old);
    }

private:
    std::atomic<HANDLE> value_{nullptr};
};

// An instance one thread makes and the user-interface thread reads: the current one, and the
// one it replaced, which only the reading thread deletes, so it is never in the middle of a
// deleted instance. The last instance lives as long as the process: freeing it at the exit
// could wait for a heap lock that an ended worker held.
template <typename T>
class handover {
public:
    handover() = default;
    handover(const handover&) = delete;
    handover& operator=(const handover&) = delete;

    T* get() const { return current_.load(); }
    // Takes the current instance out of reach of readers and answers it (or null); it now
    // waits for retire() on the reading thread.
    T* take() {
        T* old = current_.exchange(nullptr);
        if (old) retiring_.store(old);
        return old;
    }
    // The next current instance, after take().
    void set(std::unique_ptr<T> fresh) { current_.store(fresh.release()); }
    // Deletes the instance take() answered, if this is it; any other pointer is left alone.
    void retire(T* handed) {
        if (handed && retiring_.compare_exchange_strong(handed, nullptr)) delete handed;
    }

private:
    std::atomic<T*> current_{nullptr};
    std::atomic<T*> retiring_{nullptr};
};

// Zero-filled bytes from the process heap.
class heap_bytes {
public:
    explicit heap_bytes(size_t size)
        : p_(static_cast<char*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size))) {}
    heap_bytes(const heap_bytes&) = delete;
    heap_bytes& operator=(const heap_bytes&) = delete;
    ~heap_bytes() {
        if (p_) ::HeapFree(::GetProcessHeap(), 0, p_);
    }
    char* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    char* p_;
};

} // namespace raii
