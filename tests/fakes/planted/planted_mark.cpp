// A DLL planted beside a program under a system DLL's name. Loaded at all, it appends the loading
// program's path to C:\fakes\log\planted-<its own file name>.txt and refuses to attach, so nothing
// of it runs further. Built without the C runtime: its own entry point is the first and only code.
#include <windows.h>

extern "C" BOOL WINAPI PlantedEntry(HINSTANCE self, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t own[MAX_PATH] = {}, mark[2 * MAX_PATH] = L"C:\\fakes\\log\\planted-";
    GetModuleFileNameW(self, own, MAX_PATH);
    const wchar_t* name = own;
    for (const wchar_t* c = own; *c; ++c)
        if (*c == L'\\') name = c + 1;
    lstrcatW(lstrcatW(mark, name), L".txt");
    char program[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH), written = 0;
    program[length] = '\n';
    HANDLE file = CreateFileW(mark, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, program, length + 1, &written, nullptr);
        CloseHandle(file);
    }
    return FALSE;
}
