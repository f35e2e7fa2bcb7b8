// Holds a file open so that it cannot be deleted: "locker_fake.exe <path>". The handle shares read and
// write but not delete, which is how a running program keeps its files. It is held until
// C:\fakes\stop_locker exists (checked every 100 ms), the scenario's session ends, or 15 minutes have
// passed: longer than any scenario may take, since an emulating machine needed more than a minute
// to reach the file, and a lock gone early turns the scenario into another one.
//
// Knob MORVELT_FAKE_LOCK_SHARE: "r" shares reading only (a scanner reading the file: others cannot
// write it), "none" shares nothing (others cannot even open it); anything else is read and write.
//
// Log C:\fakes\log\locker.txt: "started ...", "holding path=[...]" once the file is held (tests wait for
// it), or "open-failed path=[...] error=N" (exit code 1), then "released reason=stop_file|timeout".
#include "tests/fakes/fake_common.h"

namespace {

constexpr wchar_t kLog[] = L"locker.txt";
constexpr wchar_t kStopFile[] = L"C:\\fakes\\stop_locker";
constexpr ULONGLONG kHoldMs = 15 * 60 * 1000;

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR args, int) {
    fake::DropOwnConsole();
    fake::Log(kLog, fake::StartedLine());
    std::wstring path = args;
    while (!path.empty() && path.front() == L' ') path.erase(0, 1);
    while (!path.empty() && path.back() == L' ') path.pop_back();
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"')
        path = path.substr(1, path.size() - 2);

    std::wstring shareKnob = fake::Env(L"MORVELT_FAKE_LOCK_SHARE");
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (shareKnob == L"r") share = FILE_SHARE_READ;
    if (shareKnob == L"none") share = 0;
    raii::unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        fake::Log(kLog, L"open-failed path=[" + path + L"] error=" + fake::Number(GetLastError()));
        return 1;
    }
    fake::Log(kLog, L"holding path=[" + path + L"] share=" + fake::Number(share));
    ULONGLONG end = GetTickCount64() + kHoldMs;
    while (!fake::Exists(kStopFile) && GetTickCount64() < end) Sleep(100);
    fake::Log(kLog,
              std::wstring(L"released reason=") + (fake::Exists(kStopFile) ? L"stop_file" : L"timeout"));
    return 0;
}
