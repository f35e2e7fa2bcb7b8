#pragma once
// Owners for every platform resource the installer touches. Each releases exactly once, in
// its destructor or on reset(); get() reads, put() hands the slot to an out-parameter after
// releasing what was there.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <oleauto.h>

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

// Handles whose "none" is null (threads, processes, mutexes, tokens).
using unique_handle = Unique<HANDLE, HandleTraits>;
// CreateFile and FindFirstFile answer INVALID_HANDLE_VALUE on failure.
using unique_file = Unique<HANDLE, FileTraits>;
using unique_find = Unique<HANDLE, FindTraits>;
using unique_hkey = Unique<HKEY, HkeyTraits>;
using unique_hinternet = Unique<HINTERNET, HinternetTraits>;
using unique_gdi = Unique<HGDIOBJ, GdiTraits>;
using unique_hcryptprov = Unique<HCRYPTPROV, CryptProvTraits>;
using unique_hcrypthash = Unique<HCRYPTHASH, CryptHashTraits>;

// Selects an object into a DC and puts the previous one back when the scope ends.
class SelectGuard {
public:
    SelectGuard(HDC dc, HGDIOBJ object) : dc_(dc), previous_(object ? ::SelectObject(dc, object) : nullptr) {}
    SelectGuard(const SelectGuard&) = delete;
    SelectGuard& operator=(const SelectGuard&) = delete;
    ~SelectGuard() {
        if (previous_) ::SelectObject(dc_, previous_);
    }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// BeginPaint .. EndPaint.
class PaintScope {
public:
    explicit PaintScope(HWND window) : window_(window) { dc_ = ::BeginPaint(window, &ps_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    ~PaintScope() { ::EndPaint(window_, &ps_); }
    HDC dc() const { return dc_; }

private:
    HWND window_;
    PAINTSTRUCT ps_{};
    HDC dc_;
};

// A memory DC for blitting a bitmap; the bitmap selection is undone before the DC goes.
class MemoryDc {
public:
    explicit MemoryDc(HDC compatibleWith) : dc_(::CreateCompatibleDC(compatibleWith)) {}
    MemoryDc(const MemoryDc&) = delete;
    MemoryDc& operator=(const MemoryDc&) = delete;
    ~MemoryDc() {
        if (dc_) ::DeleteDC(dc_);
    }
    HDC get() const { return dc_; }

private:
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

// A BSTR we allocated. Running out of memory for one ends the process: the launch cannot
// go on without it and there is nobody to tell.
class unique_bstr {
public:
    explicit unique_bstr(const wchar_t* text) : s_(::SysAllocString(text)) {
        if (!s_) ::RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    ~unique_bstr() { ::SysFreeString(s_); }
    BSTR get() const { return s_; }
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
    static void SetText(unique_variant& v, const wchar_t* text) {
        ::VariantClear(&v.v_);
        unique_bstr copy(text);
        v.v_.vt = VT_BSTR;
        v.v_.bstrVal = copy.release();
    }

private:
    VARIANT v_;
};

// Zero-filled bytes from the process heap.
class heap_bytes {
public:
    explicit heap_bytes(size_t size) : p_(static_cast<char*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size))) {}
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
