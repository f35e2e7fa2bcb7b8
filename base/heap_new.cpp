// The installer's own operator new/delete on the process heap. The library's versions throw,
// which would drag the exception machinery into a program built without exceptions; running
// out of memory here ends the process as the platform's own allocators would.
#include <windows.h>
#include <new>

void* operator new(size_t size) {
    void* p = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
    if (!p) RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
    if (p) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
