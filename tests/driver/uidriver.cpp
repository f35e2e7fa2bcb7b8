// uidriver: reads and drives the windows of other processes in the same Wine prefix for the
// end-to-end tests. Every command prints one JSON value on stdout (UTF-8).
//
//   uidriver windows [--pid N] [--title T] [--class C]   top-level windows and their controls
//   uidriver msgbox [--pid N]                            open message boxes: title, text, icon, buttons
//   uidriver press <button text | id> [--pid N]          presses a button of the first message box
//   uidriver waitwindow [--class C] [--title T] [--pid N] [--visible] --timeout MS
//   uidriver cursor                                      current cursor: hand, arrow, position
//   uidriver cursorprobe [--ms N]                        shows one hand-cursor and one arrow-cursor window
//   uidriver proc <pid>                                  handle count, working set, GDI/USER objects
//   uidriver handles <pid> [--names]                     handles from the system's handle table, by type;
//                                                        threads, working set, windows of the process;
//                                                        with --names each handle's type and object name
//   uidriver hold <n> <file>                             self-test of "handles": opens n events once <file>
//                                                        exists, closes them when it is gone, ends when it is
//                                                        back
//   uidriver ps                                          running processes
//   uidriver screen                                      screen size, work area, monitors
//   uidriver shell                                       whether the desktop shell's window collection
//   answers uidriver send|post <hwnd> <msg> <wparam> <lparam>    sends or posts one message uidriver
//   postpress <hwnd> <msg> <wparam> <lparam> <button> [--ms N] [--pid N]
//                                      posts one message, then N ms later presses a box's button
//   keydacl <key under HKLM>                             the key's access list (32-bit view) as SDDL
//   serve                                                the commands above, one per line on stdin (arguments
//                                                        separated by tabs, UTF-8), each answer followed by a
//                                                        line "\x1e<exit code>": one Wine start for a whole
//                                                        scenario's queries (each start costs seconds under
//                                                        QEMU)
//
// Exit code 0 when the command found what it was asked for, 1 when not, 2 on bad usage.
#include <windows.h>
#include <commctrl.h>
#include <exdisp.h>
#include <psapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "base/raii.h"

namespace {

// ---- JSON output -------------------------------------------------------------------------

class Json {
public:
    void Key(const wchar_t* key) {
        Separate();
        Quote(key);
        out_ += L':';
        afterKey_ = true;
    }
    void String(const wchar_t* text) {
        Separate();
        Quote(text);
    }
    void Quote(const wchar_t* text) {
        out_ += L'"';
        for (const wchar_t* p = text; *p; ++p) {
            wchar_t c = *p;
            if (c == L'"' || c == L'\\') {
                out_ += L'\\';
                out_ += c;
            } else if (c < 0x20) {
                wchar_t esc[8];
                std::swprintf(esc, 8, L"\\u%04x", static_cast<unsigned>(c));
                out_ += esc;
            } else {
                out_ += c;
            }
        }
        out_ += L'"';
    }
    void Number(long long value) {
        Separate();
        out_ += std::to_wstring(value);
    }
    void Double(double value) {
        Separate();
        wchar_t text[32];
        std::swprintf(text, 32, L"%.3f", value);
        out_ += text;
    }
    void Bool(bool value) {
        Separate();
        out_ += value ? L"true" : L"false";
    }
    void Null() {
        Separate();
        out_ += L"null";
    }
    void Begin(wchar_t bracket) {
        Separate();
        out_ += bracket;
    }
    void End(wchar_t bracket) { out_ += bracket; }
    void Rect(const RECT& r) {
        Begin(L'[');
        Number(r.left);
        Number(r.top);
        Number(r.right);
        Number(r.bottom);
        End(L']');
    }
    void Print() const {
        int size = WideCharToMultiByte(CP_UTF8, 0, out_.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(size > 0 ? size - 1 : 0, '\0');
        if (size > 1) WideCharToMultiByte(CP_UTF8, 0, out_.c_str(), -1, utf8.data(), size, nullptr, nullptr);
        std::fwrite(utf8.data(), 1, utf8.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

private:
    // A comma before every value except the first of a container and the value after a key.
    void Separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (!out_.empty() && out_.back() != L'[' && out_.back() != L'{') out_ += L',';
    }
    std::wstring out_;
    bool afterKey_ = false;
};

// ---- arguments -----------------------------------------------------------------------------

struct Filter {
    DWORD pid = 0;
    const wchar_t* title = nullptr;
    const wchar_t* className = nullptr;
    bool visibleOnly = false;
};

const wchar_t* Option(int argc, wchar_t** argv, const wchar_t* name) {
    for (int i = 2; i + 1 < argc; ++i)
        if (std::wcscmp(argv[i], name) == 0) return argv[i + 1];
    return nullptr;
}

bool Flag(int argc, wchar_t** argv, const wchar_t* name) {
    for (int i = 2; i < argc; ++i)
        if (std::wcscmp(argv[i], name) == 0) return true;
    return false;
}

Filter ReadFilter(int argc, wchar_t** argv) {
    Filter f;
    if (const wchar_t* pid = Option(argc, argv, L"--pid")) f.pid = std::wcstoul(pid, nullptr, 0);
    f.title = Option(argc, argv, L"--title");
    f.className = Option(argc, argv, L"--class");
    f.visibleOnly = Flag(argc, argv, L"--visible");
    return f;
}

// ---- window reading ------------------------------------------------------------------------

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[256] = L"";
    GetClassNameW(hwnd, name, 256);
    return name;
}

// WM_GETTEXT with a time-out, so a hung target cannot hang the driver.
std::wstring TextOf(HWND hwnd) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) return L"";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                        2000, &copied);
    text.resize(copied);
    return text;
}

LRESULT Ask(HWND hwnd, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(hwnd, msg, wParam, lParam, SMTO_ABORTIFHUNG, 2000, &result);
    return static_cast<LRESULT>(result);
}

bool Matches(HWND hwnd, const Filter& f) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (f.pid && pid != f.pid) return false;
    if (f.visibleOnly && !IsWindowVisible(hwnd)) return false;
    if (f.className && ClassOf(hwnd) != f.className) return false;
    if (f.title && TextOf(hwnd) != f.title) return false;
    return true;
}

// Enumeration callbacks are stdcall on x86, which lambdas cannot be, hence plain functions.
BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM lParam) {
    reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> TopLevelWindows(const Filter& f) {
    std::vector<HWND> all;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
    std::vector<HWND> found;
    for (HWND hwnd : all)
        if (Matches(hwnd, f)) found.push_back(hwnd);
    return found;
}

std::vector<HWND> ChildWindows(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&children));
    return children;
}

void WriteControl(Json& json, HWND hwnd) {
    HWND parent = GetParent(hwnd);
    RECT r{};
    GetWindowRect(hwnd, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    std::wstring cls = ClassOf(hwnd);
    LONG style = GetWindowLongW(hwnd, GWL_STYLE);

    json.Begin(L'{');
    json.Key(L"hwnd");
    json.Number(reinterpret_cast<LONG_PTR>(hwnd));
    json.Key(L"parent");
    json.Number(reinterpret_cast<LONG_PTR>(parent));
    json.Key(L"class");
    json.String(cls.c_str());
    json.Key(L"text");
    json.String(TextOf(hwnd).c_str());
    json.Key(L"rect");
    json.Rect(r);
    json.Key(L"visible");
    json.Bool(IsWindowVisible(hwnd));
    json.Key(L"enabled");
    json.Bool(IsWindowEnabled(hwnd));
    json.Key(L"id");
    json.Number(GetDlgCtrlID(hwnd));
    json.Key(L"style");
    json.Number(static_cast<unsigned long>(style));
    json.Key(L"exstyle");
    json.Number(static_cast<unsigned long>(GetWindowLongW(hwnd, GWL_EXSTYLE)));
    if (_wcsicmp(cls.c_str(), PROGRESS_CLASSW) == 0) {
        // PBM_GETRANGE with a null PBRANGE answers one limit, which works across processes.
        json.Key(L"range");
        json.Begin(L'[');
        json.Number(static_cast<int>(Ask(hwnd, PBM_GETRANGE, TRUE)));
        json.Number(static_cast<int>(Ask(hwnd, PBM_GETRANGE, FALSE)));
        json.End(L']');
        json.Key(L"pos");
        json.Number(static_cast<int>(Ask(hwnd, PBM_GETPOS)));
        json.Key(L"state");
        json.Number(static_cast<int>(Ask(hwnd, PBM_GETSTATE)));
        json.Key(L"marquee");
        json.Bool((style & PBS_MARQUEE) != 0);
    }
    json.End(L'}');
}

void WriteTopLevel(Json& json, HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    RECT client{};
    GetClientRect(hwnd, &client);
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(hwnd, &pid);

    json.Begin(L'{');
    json.Key(L"hwnd");
    json.Number(reinterpret_cast<LONG_PTR>(hwnd));
    json.Key(L"class");
    json.String(ClassOf(hwnd).c_str());
    json.Key(L"text");
    json.String(TextOf(hwnd).c_str());
    json.Key(L"rect");
    json.Rect(r);
    json.Key(L"client");
    json.Rect(client);
    json.Key(L"visible");
    json.Bool(IsWindowVisible(hwnd));
    json.Key(L"enabled");
    json.Bool(IsWindowEnabled(hwnd));
    json.Key(L"iconic");
    json.Bool(IsIconic(hwnd));
    json.Key(L"foreground");
    json.Bool(GetForegroundWindow() == hwnd);
    json.Key(L"style");
    json.Number(static_cast<unsigned long>(GetWindowLongW(hwnd, GWL_STYLE)));
    json.Key(L"exstyle");
    json.Number(static_cast<unsigned long>(GetWindowLongW(hwnd, GWL_EXSTYLE)));
    json.Key(L"owner");
    json.Number(reinterpret_cast<LONG_PTR>(GetWindow(hwnd, GW_OWNER)));
    json.Key(L"pid");
    json.Number(pid);
    json.Key(L"tid");
    json.Number(tid);
    json.Key(L"children");
    json.Begin(L'[');
    for (HWND child : ChildWindows(hwnd)) WriteControl(json, child);
    json.End(L']');
    json.End(L'}');
}

int CmdWindows(const Filter& f) {
    Json json;
    json.Begin(L'[');
    for (HWND hwnd : TopLevelWindows(f)) WriteTopLevel(json, hwnd);
    json.End(L']');
    json.Print();
    return 0;
}

int CmdWaitWindow(const Filter& f, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<HWND> found = TopLevelWindows(f);
        if (!found.empty()) {
            Json json;
            WriteTopLevel(json, found.front());
            json.Print();
            return 0;
        }
        if (GetTickCount() - start >= timeoutMs) break;
        Sleep(50);
    }
    std::printf("null\n");
    return 1;
}

// ---- message boxes -------------------------------------------------------------------------

// Message boxes put their text in a static of id 0xFFFF and their icon in a static of id 0x440.
constexpr int kMsgBoxTextId = 0xFFFF;
constexpr int kMsgBoxIconId = 0x440;

struct IconKind {
    const wchar_t* name;
    LPCWSTR id;
};
const IconKind kIcons[] = {{L"error", IDI_ERROR},
                           {L"question", IDI_QUESTION},
                           {L"warning", IDI_WARNING},
                           {L"information", IDI_INFORMATION}};

// Screen pixels of a window's client area, as 0x00RRGGBB values, row by row.
std::vector<COLORREF> CaptureClient(HWND hwnd, int width, int height) {
    std::vector<COLORREF> pixels;
    POINT origin{0, 0};
    ClientToScreen(hwnd, &origin);
    raii::unique_hdc_window screen(nullptr);
    raii::unique_hdc mem(CreateCompatibleDC(screen.get()));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    raii::unique_hgdiobj dib(CreateDIBSection(mem.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (dib && bits) {
        raii::unique_select_object select(mem.get(), dib.get());
        BitBlt(mem.get(), 0, 0, width, height, screen.get(), origin.x, origin.y, SRCCOPY);
        GdiFlush();
        const DWORD* p = static_cast<const DWORD*>(bits);
        pixels.assign(p, p + width * height);
    }
    return pixels;
}

// The same icon drawn by this process over a given background colour.
std::vector<COLORREF> RenderIcon(HICON icon, int width, int height, COLORREF background) {
    std::vector<COLORREF> pixels(width * height, background);
    raii::unique_hdc_window screen(nullptr);
    raii::unique_hdc mem(CreateCompatibleDC(screen.get()));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    raii::unique_hgdiobj dib(CreateDIBSection(mem.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (dib && bits) {
        DWORD* p = static_cast<DWORD*>(bits);
        for (int i = 0; i < width * height; ++i) p[i] = background;
        raii::unique_select_object select(mem.get(), dib.get());
        DrawIconEx(mem.get(), 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
        GdiFlush();
        pixels.assign(p, p + width * height);
    }
    return pixels;
}

// Which standard icon a message box shows. Icon handles are per process under Wine, so when the
// handle matches none of ours the icon is recognised by its pixels on the screen instead.
void WriteIcon(Json& json, HWND iconStatic) {
    HICON shown = reinterpret_cast<HICON>(Ask(iconStatic, STM_GETICON));
    json.Key(L"icon");
    if (!iconStatic || !shown) {
        json.Null();
        return;
    }
    for (const IconKind& kind : kIcons) {
        if (LoadIconW(nullptr, kind.id) == shown) {
            json.String(kind.name);
            json.Key(L"icon_method");
            json.String(L"handle");
            return;
        }
    }
    RECT client{};
    GetClientRect(iconStatic, &client);
    int width = client.right;
    int height = client.bottom;
    std::vector<COLORREF> screen = CaptureClient(iconStatic, width, height);
    if (screen.empty() || width <= 0 || height <= 0) {
        json.Null();
        return;
    }
    COLORREF background = screen[0];
    const wchar_t* best = nullptr;
    double bestScore = 1e9;
    double scores[4] = {};
    for (int k = 0; k < 4; ++k) {
        std::vector<COLORREF> drawn = RenderIcon(LoadIconW(nullptr, kIcons[k].id), width, height, background);
        double sum = 0;
        for (size_t i = 0; i < drawn.size() && i < screen.size(); ++i)
            for (int shift = 0; shift < 24; shift += 8)
                sum += std::abs(static_cast<int>((drawn[i] >> shift) & 0xFF) -
                                static_cast<int>((screen[i] >> shift) & 0xFF));
        scores[k] = sum / (width * height * 3.0);
        if (scores[k] < bestScore) {
            bestScore = scores[k];
            best = kIcons[k].name;
        }
    }
    // A box caught before its icon is painted (a slow machine) matches every icon about
    // equally: no answer then, and the caller looks again.
    double second = 1e9;
    for (double score : scores)
        if (score > bestScore && score < second) second = score;
    if (!(bestScore < 0.6 * second))
        json.Null();
    else
        json.String(best);
    json.Key(L"icon_method");
    json.String(L"pixels");
    json.Key(L"icon_scores");
    json.Begin(L'{');
    for (int k = 0; k < 4; ++k) {
        json.Key(kIcons[k].name);
        json.Double(scores[k]);
    }
    json.End(L'}');
}

std::vector<HWND> MessageBoxes(DWORD pid) {
    Filter f;
    f.pid = pid;
    f.className = L"#32770";
    f.visibleOnly = true;
    return TopLevelWindows(f);
}

std::wstring WithoutMnemonic(std::wstring text) {
    std::wstring plain;
    for (wchar_t c : text)
        if (c != L'&') plain += c;
    return plain;
}

int CmdMsgBox(DWORD pid) {
    std::vector<HWND> boxes = MessageBoxes(pid);
    Json json;
    json.Begin(L'[');
    for (HWND box : boxes) {
        DWORD owner = 0;
        GetWindowThreadProcessId(box, &owner);
        json.Begin(L'{');
        json.Key(L"hwnd");
        json.Number(reinterpret_cast<LONG_PTR>(box));
        json.Key(L"pid");
        json.Number(owner);
        json.Key(L"owner");
        json.Number(reinterpret_cast<LONG_PTR>(GetWindow(box, GW_OWNER)));
        json.Key(L"title");
        json.String(TextOf(box).c_str());
        HWND text = GetDlgItem(box, kMsgBoxTextId);
        json.Key(L"text");
        json.String(text ? TextOf(text).c_str() : L"");
        WriteIcon(json, GetDlgItem(box, kMsgBoxIconId));
        json.Key(L"buttons");
        json.Begin(L'[');
        for (HWND child : ChildWindows(box)) {
            if (_wcsicmp(ClassOf(child).c_str(), L"Button") != 0 || !IsWindowVisible(child)) continue;
            json.Begin(L'{');
            json.Key(L"text");
            json.String(WithoutMnemonic(TextOf(child)).c_str());
            json.Key(L"id");
            json.Number(GetDlgCtrlID(child));
            json.Key(L"enabled");
            json.Bool(IsWindowEnabled(child));
            json.End(L'}');
        }
        json.End(L']');
        json.End(L'}');
    }
    json.End(L']');
    json.Print();
    return boxes.empty() ? 1 : 0;
}

// Presses by the notification a real click sends to the dialog, which needs no focus or
// activation of the box.
int CmdPress(const wchar_t* which, DWORD pid) {
    wchar_t* end = nullptr;
    long id = std::wcstol(which, &end, 0);
    bool byId = end && *end == L'\0';
    for (HWND box : MessageBoxes(pid)) {
        for (HWND child : ChildWindows(box)) {
            if (_wcsicmp(ClassOf(child).c_str(), L"Button") != 0) continue;
            bool hit = byId ? GetDlgCtrlID(child) == id : WithoutMnemonic(TextOf(child)) == which;
            if (!hit) continue;
            FILETIME now{};
            GetSystemTimeAsFileTime(&now);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(child), BN_CLICKED),
                         reinterpret_cast<LPARAM>(child));
            // When the answer was given, in Unix milliseconds: the caller times what follows
            // from here, not from its own start of this program.
            ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
            std::printf("{\"pressed\":%d,\"at_ms\":%llu}\n", GetDlgCtrlID(child),
                        (ticks - 116444736000000000ULL) / 10000ULL);
            return 0;
        }
    }
    std::printf("{\"pressed\":null}\n");
    return 1;
}

// ---- cursor, processes, screen -------------------------------------------------------------

int CmdCursor() {
    CURSORINFO info{};
    info.cbSize = sizeof(info);
    BOOL ok = GetCursorInfo(&info);
    HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    Json json;
    json.Begin(L'{');
    json.Key(L"ok");
    json.Bool(ok);
    json.Key(L"cursor");
    json.Number(reinterpret_cast<LONG_PTR>(info.hCursor));
    json.Key(L"hand");
    json.Bool(ok && info.hCursor == hand);
    json.Key(L"arrow");
    json.Bool(ok && info.hCursor == arrow);
    json.Key(L"hand_handle");
    json.Number(reinterpret_cast<LONG_PTR>(hand));
    json.Key(L"arrow_handle");
    json.Number(reinterpret_cast<LONG_PTR>(arrow));
    json.Key(L"pos");
    json.Begin(L'[');
    json.Number(info.ptScreenPos.x);
    json.Number(info.ptScreenPos.y);
    json.End(L']');
    json.End(L'}');
    json.Print();
    return ok ? 0 : 1;
}

// Cursor handles are per process under Wine, so "cursor" cannot recognise another process's
// cursor by its handle. The probe shows what this Wine turns the standard hand and arrow into on
// the X display: two small windows whose class cursors are those two, for the harness to hover.
LRESULT CALLBACK ProbeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_TIMER) PostQuitMessage(0);
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int CmdCursorProbe(DWORD ms) {
    constexpr int kSize = 48;
    struct Probe {
        const wchar_t* className;
        LPCWSTR cursor;
        int left;
    } probes[] = {{L"E2EProbeHand", IDC_HAND, 0}, {L"E2EProbeArrow", IDC_ARROW, kSize}};
    HWND first = nullptr;
    for (const Probe& probe : probes) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ProbeProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, probe.cursor);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        wc.lpszClassName = probe.className;
        RegisterClassW(&wc);
        HWND hwnd =
            CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, probe.className, L"", WS_POPUP | WS_VISIBLE,
                            probe.left, 0, kSize, kSize, nullptr, nullptr, wc.hInstance, nullptr);
        UpdateWindow(hwnd);
        if (!first) first = hwnd;
    }
    SetTimer(first, 1, ms, nullptr);
    std::printf("{\"hand\":[%d,%d],\"arrow\":[%d,%d]}\n", kSize / 2, kSize / 2, kSize + kSize / 2, kSize / 2);
    std::fflush(stdout);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

int CmdProc(DWORD pid) {
    raii::unique_handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process) process.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        std::printf("{\"pid\":%lu,\"error\":%lu}\n", pid, GetLastError());
        return 1;
    }
    Json json;
    json.Begin(L'{');
    json.Key(L"pid");
    json.Number(pid);
    DWORD handles = 0;
    json.Key(L"handles");
    if (GetProcessHandleCount(process.get(), &handles))
        json.Number(handles);
    else
        json.Null();
    PROCESS_MEMORY_COUNTERS memory{};
    json.Key(L"working_set");
    if (GetProcessMemoryInfo(process.get(), &memory, sizeof(memory)))
        json.Number(static_cast<long long>(memory.WorkingSetSize));
    else
        json.Null();
    json.Key(L"peak_working_set");
    json.Number(static_cast<long long>(memory.PeakWorkingSetSize));
    json.Key(L"gdi_objects");
    json.Number(GetGuiResources(process.get(), GR_GDIOBJECTS));
    json.Key(L"user_objects");
    json.Number(GetGuiResources(process.get(), GR_USEROBJECTS));
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    json.Key(L"running");
    json.Bool(code == STILL_ACTIVE);
    json.End(L'}');
    json.Print();
    return 0;
}

// ---- handles of another process -----------------------------------------------------------

// Under Wine GetProcessHandleCount and GetGuiResources answer 0 for another process. The system's
// handle table (NtQuerySystemInformation) lists every kernel handle with the id of the process
// that owns it, as on Windows; "hold" shows the count following handles a process opens.
using QuerySystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using QueryObjectFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemProcessInformation = 5;
constexpr ULONG kSystemHandleInformation = 16;
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr ULONG kObjectNameInformation = 1;
constexpr ULONG kObjectTypeInformation = 2;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleEntry { // SYSTEM_HANDLE_TABLE_ENTRY_INFO
    USHORT pid;
    USHORT backTrace;
    UCHAR type;
    UCHAR attributes;
    USHORT value;
    PVOID object;
    ULONG access;
};
struct HandleEntryEx { // SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX
    PVOID object;
    ULONG_PTR pid;
    ULONG_PTR value;
    ULONG access;
    USHORT backTrace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
};
struct ProcessEntry { // the head of SYSTEM_PROCESS_INFORMATION
    ULONG next;
    ULONG threads;
    LARGE_INTEGER reserved[6];
    USHORT nameLength, nameMax;
    PWSTR name;
    LONG basePriority;
    HANDLE pid;
    HANDLE parent;
};

FARPROC NtFunction(const char* name) { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name); }

// One whole snapshot of a system information class, or an empty buffer.
std::vector<BYTE> QuerySystem(ULONG infoClass) {
    auto query = reinterpret_cast<QuerySystemInformationFn>(NtFunction("NtQuerySystemInformation"));
    std::vector<BYTE> buffer(1 << 16);
    for (int tries = 0; query && tries < 16; ++tries) {
        ULONG needed = 0;
        LONG status = query(infoClass, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0) return buffer;
        if (status != kInfoLengthMismatch) break;
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
    }
    return {};
}

struct OwnedHandle {
    ULONG_PTR value;
    USHORT type;
};

// The handles the table lists for pid; ok is false when the table could not be read.
std::vector<OwnedHandle> HandlesOf(DWORD pid, ULONG infoClass, bool& ok) {
    std::vector<OwnedHandle> found;
    std::vector<BYTE> table = QuerySystem(infoClass);
    ok = !table.empty();
    if (!ok) return found;
    if (infoClass == kSystemExtendedHandleInformation) {
        ULONG_PTR count = *reinterpret_cast<ULONG_PTR*>(table.data());
        size_t room = (table.size() - 2 * sizeof(ULONG_PTR)) / sizeof(HandleEntryEx);
        auto* entries = reinterpret_cast<HandleEntryEx*>(table.data() + 2 * sizeof(ULONG_PTR));
        for (ULONG_PTR i = 0; i < count && i < room; ++i)
            if (entries[i].pid == pid) found.push_back({entries[i].value, entries[i].type});
    } else {
        ULONG count = *reinterpret_cast<ULONG*>(table.data());
        size_t room = (table.size() - sizeof(ULONG_PTR)) / sizeof(HandleEntry);
        auto* entries = reinterpret_cast<HandleEntry*>(table.data() + sizeof(ULONG_PTR));
        for (ULONG i = 0; i < count && i < room; ++i)
            if (entries[i].pid == pid) found.push_back({entries[i].value, entries[i].type});
    }
    return found;
}

// A handle's object type (kObjectTypeInformation) or object name (kObjectNameInformation), read
// from a duplicate of it in this process. Both answers start with a UNICODE_STRING.
std::wstring ObjectText(HANDLE process, ULONG_PTR value, ULONG infoClass) {
    auto queryObject = reinterpret_cast<QueryObjectFn>(NtFunction("NtQueryObject"));
    raii::unique_handle copy;
    if (!queryObject || !DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(),
                                         copy.put(), 0, FALSE, DUPLICATE_SAME_ACCESS))
        return L"";
    alignas(8) BYTE info[2048] = {};
    ULONG length = 0;
    std::wstring text;
    if (queryObject(copy.get(), infoClass, info, sizeof info - sizeof(wchar_t), &length) >= 0) {
        USHORT bytes = *reinterpret_cast<USHORT*>(info);
        PWSTR buffer = *reinterpret_cast<PWSTR*>(info + sizeof(PVOID));
        if (buffer) text.assign(buffer, bytes / sizeof(wchar_t));
    }
    return text;
}

BOOL CALLBACK CountOwnWindows(HWND hwnd, LPARAM lParam) {
    auto* count = reinterpret_cast<std::pair<DWORD, int>*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == count->first) {
        ++count->second;
        EnumChildWindows(hwnd, CountOwnWindows, lParam);
    }
    return TRUE;
}

int CmdHandles(DWORD pid, bool names) {
    bool extendedOk = false;
    bool classicOk = false;
    std::vector<OwnedHandle> handles = HandlesOf(pid, kSystemExtendedHandleInformation, extendedOk);
    std::vector<OwnedHandle> classic = HandlesOf(pid, kSystemHandleInformation, classicOk);
    raii::unique_handle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, pid));

    Json json;
    json.Begin(L'{');
    json.Key(L"pid");
    json.Number(pid);
    json.Key(L"handles");
    if (extendedOk)
        json.Number(static_cast<long long>(handles.size()));
    else
        json.Null();
    json.Key(L"handles_classic");
    if (classicOk)
        json.Number(static_cast<long long>(classic.size()));
    else
        json.Null();

    // The thread count of the process list. (Its HandleCount is, under Wine, the size of the
    // process's handle table, not the number of handles in it.)
    std::vector<BYTE> list = QuerySystem(kSystemProcessInformation);
    long long threads = -1;
    for (size_t at = 0; !list.empty() && at + sizeof(ProcessEntry) <= list.size();) {
        auto* entry = reinterpret_cast<ProcessEntry*>(list.data() + at);
        if (reinterpret_cast<ULONG_PTR>(entry->pid) == pid) {
            threads = entry->threads;
            break;
        }
        if (!entry->next) break;
        at += entry->next;
    }
    json.Key(L"threads");
    if (threads >= 0)
        json.Number(threads);
    else
        json.Null();

    // Counts by type, each type named from one of its handles.
    std::vector<std::pair<USHORT, int>> byType;
    for (const OwnedHandle& h : handles) {
        auto it = byType.begin();
        while (it != byType.end() && it->first != h.type) ++it;
        if (it == byType.end())
            byType.push_back({h.type, 1});
        else
            ++it->second;
    }
    json.Key(L"by_type");
    json.Begin(L'{');
    for (const auto& [type, count] : byType) {
        std::wstring name;
        for (const OwnedHandle& h : handles)
            if (h.type == type && process &&
                (name = ObjectText(process.get(), h.value, kObjectTypeInformation)).size())
                break;
        if (name.empty()) name = L"type " + std::to_wstring(type);
        json.Key(name.c_str());
        json.Number(count);
    }
    json.End(L'}');
    if (names) {
        json.Key(L"names");
        json.Begin(L'[');
        for (const OwnedHandle& h : handles) {
            json.Begin(L'[');
            json.Number(static_cast<long long>(h.value));
            json.String(process ? ObjectText(process.get(), h.value, kObjectTypeInformation).c_str() : L"");
            json.String(process ? ObjectText(process.get(), h.value, kObjectNameInformation).c_str() : L"");
            json.End(L']');
        }
        json.End(L']');
    }

    PROCESS_MEMORY_COUNTERS memory{};
    bool memoryOk = process && GetProcessMemoryInfo(process.get(), &memory, sizeof(memory));
    json.Key(L"working_set");
    if (memoryOk)
        json.Number(static_cast<long long>(memory.WorkingSetSize));
    else
        json.Null();
    json.Key(L"peak_working_set");
    if (memoryOk)
        json.Number(static_cast<long long>(memory.PeakWorkingSetSize));
    else
        json.Null();
    json.Key(L"private_bytes");
    if (memoryOk)
        json.Number(static_cast<long long>(memory.PagefileUsage));
    else
        json.Null();
    std::pair<DWORD, int> windows{pid, 0};
    EnumWindows(CountOwnWindows, reinterpret_cast<LPARAM>(&windows));
    json.Key(L"windows");
    json.Number(windows.second);
    json.End(L'}');
    json.Print();
    return extendedOk || classicOk ? 0 : 1;
}

bool FileExists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// Waits (up to a minute) until the file's existence is as wanted.
bool AwaitFile(const wchar_t* path, bool exists) {
    for (int i = 0; i < 1200; ++i) {
        if (FileExists(path) == exists) return true;
        Sleep(50);
    }
    return false;
}

int CmdHold(int count, const wchar_t* trigger) {
    std::printf("{\"pid\":%lu}\n", GetCurrentProcessId());
    std::fflush(stdout);
    if (!AwaitFile(trigger, true)) return 1;
    std::vector<raii::unique_handle> events;
    for (int i = 0; i < count; ++i)
        if (raii::unique_handle e(CreateEventW(nullptr, TRUE, FALSE, nullptr)); e)
            events.push_back(std::move(e));
    const size_t held = events.size();
    std::printf("{\"holding\":%u}\n", static_cast<unsigned>(held));
    std::fflush(stdout);
    bool released = AwaitFile(trigger, false);
    events.clear();
    std::printf("{\"released\":%u}\n", static_cast<unsigned>(held));
    std::fflush(stdout);
    return released && AwaitFile(trigger, true) ? 0 : 1;
}

int CmdPs() {
    // A snapshot answers INVALID_HANDLE_VALUE on failure, as a file does.
    raii::unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 1;
    Json json;
    json.Begin(L'[');
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        json.Begin(L'{');
        json.Key(L"pid");
        json.Number(entry.th32ProcessID);
        json.Key(L"parent");
        json.Number(entry.th32ParentProcessID);
        json.Key(L"exe");
        json.String(entry.szExeFile);
        json.End(L'}');
    }
    json.End(L']');
    json.Print();
    return 0;
}

BOOL CALLBACK WriteMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM lParam) {
    auto* out = reinterpret_cast<Json*>(lParam);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (!GetMonitorInfoW(monitor, &info)) return TRUE;
    out->Begin(L'{');
    out->Key(L"monitor");
    out->Rect(info.rcMonitor);
    out->Key(L"work");
    out->Rect(info.rcWork);
    out->Key(L"primary");
    out->Bool((info.dwFlags & MONITORINFOF_PRIMARY) != 0);
    out->End(L'}');
    return TRUE;
}

int CmdScreen() {
    Json json;
    json.Begin(L'{');
    json.Key(L"screen");
    json.Begin(L'[');
    json.Number(GetSystemMetrics(SM_CXSCREEN));
    json.Number(GetSystemMetrics(SM_CYSCREEN));
    json.End(L']');
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    json.Key(L"work_area");
    json.Rect(work);
    json.Key(L"monitors");
    json.Begin(L'[');
    EnumDisplayMonitors(nullptr, nullptr, WriteMonitor, reinterpret_cast<LPARAM>(&json));
    json.End(L']');
    {
        raii::unique_hdc_window screen(nullptr);
        json.Key(L"dpi");
        json.Number(GetDeviceCaps(screen.get(), LOGPIXELSY));
    }
    json.End(L'}');
    json.Print();
    return 0;
}

// The first hop of a launch through the desktop shell: the shell windows collection must exist
// and hand out the desktop's window. Under Wine that needs its explorer desktop running.
int CmdShell() {
    HRESULT init = CoInitialize(nullptr);
    HRESULT created = E_FAIL;
    HRESULT found = E_FAIL;
    long hwnd = 0;
    bool dispatch = false;
    {
        raii::com_ptr<IShellWindows> windows;
        created =
            CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_IShellWindows, windows.put_void());
        if (SUCCEEDED(created) && windows) {
            raii::unique_variant location;
            raii::unique_variant::SetInt(location, CSIDL_DESKTOP);
            raii::unique_variant root; // VT_EMPTY
            raii::com_ptr<IDispatch> desktop;
            found = windows->FindWindowSW(&location.get(), &root.get(), SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH,
                                          desktop.put());
            dispatch = static_cast<bool>(desktop);
        }
    } // released before COM is left
    std::printf("{\"created\":%ld,\"found\":%ld,\"hwnd\":%ld,\"dispatch\":%s}\n", static_cast<long>(created),
                static_cast<long>(found), hwnd, dispatch ? "true" : "false");
    if (SUCCEEDED(init)) CoUninitialize();
    return found == S_OK && dispatch ? 0 : 1;
}

int CmdMessage(bool post, int argc, wchar_t** argv) {
    if (argc != 6) return 2;
    HWND hwnd = reinterpret_cast<HWND>(static_cast<LONG_PTR>(std::wcstoll(argv[2], nullptr, 0)));
    UINT msg = std::wcstoul(argv[3], nullptr, 0);
    WPARAM wParam = std::wcstoul(argv[4], nullptr, 0);
    LPARAM lParam = std::wcstol(argv[5], nullptr, 0);
    if (post) {
        BOOL ok = PostMessageW(hwnd, msg, wParam, lParam);
        std::printf("{\"posted\":%s}\n", ok ? "true" : "false");
        return ok ? 0 : 1;
    }
    DWORD_PTR result = 0;
    BOOL ok = SendMessageTimeoutW(hwnd, msg, wParam, lParam, SMTO_NORMAL, 10000, &result) != 0;
    std::printf("{\"sent\":%s,\"result\":%ld}\n", ok ? "true" : "false", static_cast<long>(result));
    return ok ? 0 : 1;
}

// Posts a message, waits the given milliseconds, then presses a message box's button: the two land
// in the UI thread's queue that far apart, which two driver runs (each a process start) cannot do.
// Prints the Unix times of both, so a test knows which second each fell into.
int CmdPostPress(int argc, wchar_t** argv, DWORD pid) {
    if (argc < 7) return 2;
    const wchar_t* msText = Option(argc, argv, L"--ms");
    DWORD ms = msText ? std::wcstoul(msText, nullptr, 0) : 0;
    HWND hwnd = reinterpret_cast<HWND>(static_cast<LONG_PTR>(std::wcstoll(argv[2], nullptr, 0)));
    auto now = [] {
        FILETIME ft;
        GetSystemTimeAsFileTime(&ft);
        ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
        return static_cast<double>(t - 116444736000000000ULL) / 1e7;
    };
    double postAt = now();
    BOOL ok = PostMessageW(hwnd, std::wcstoul(argv[3], nullptr, 0), std::wcstoul(argv[4], nullptr, 0),
                           std::wcstol(argv[5], nullptr, 0));
    if (ms) Sleep(ms);
    double pressAt = now();
    std::printf("{\"posted\":%s,\"post_at\":%.3f,\"press_at\":%.3f}\n", ok ? "true" : "false", postAt,
                pressAt);
    std::fflush(stdout);
    return ok ? CmdPress(argv[6], pid) : 1;
}

// The access list a key under HKLM carries, in the SDDL form, or null when it cannot be read.
int CmdKeyDacl(const wchar_t* subkey) {
    raii::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, READ_CONTROL | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS) {
        std::printf("null\n");
        return 1;
    }
    BYTE descriptor[4096];
    DWORD bytes = sizeof descriptor;
    raii::unique_hlocal text;
    if (RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor, &bytes) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, reinterpret_cast<LPWSTR*>(text.put()),
            nullptr)) {
        std::printf("null\n");
        return 1;
    }
    std::string utf8(
        WideCharToMultiByte(CP_UTF8, 0, static_cast<LPCWSTR>(text.get()), -1, nullptr, 0, nullptr, nullptr),
        0);
    WideCharToMultiByte(CP_UTF8, 0, static_cast<LPCWSTR>(text.get()), -1, utf8.data(),
                        static_cast<int>(utf8.size()), nullptr, nullptr);
    std::printf("\"%s\"\n", utf8.c_str());
    return 0;
}

int Usage() {
    std::fprintf(
        stderr,
        "usage: uidriver "
        "windows|msgbox|press|waitwindow|cursor|cursorprobe|proc|handles|hold|ps|screen|shell|send|post ...\n"
        "see the comment at the top of uidriver.cpp\n");
    return 2;
}

int Dispatch(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    std::wstring command = argv[1];
    Filter filter = ReadFilter(argc, argv);
    if (command == L"windows") return CmdWindows(filter);
    if (command == L"msgbox") return CmdMsgBox(filter.pid);
    if (command == L"press" && argc >= 3) return CmdPress(argv[2], filter.pid);
    if (command == L"waitwindow") {
        const wchar_t* timeout = Option(argc, argv, L"--timeout");
        return CmdWaitWindow(filter, timeout ? std::wcstoul(timeout, nullptr, 0) : 10000);
    }
    if (command == L"cursor") return CmdCursor();
    if (command == L"cursorprobe") {
        const wchar_t* ms = Option(argc, argv, L"--ms");
        return CmdCursorProbe(ms ? std::wcstoul(ms, nullptr, 0) : 5000);
    }
    if (command == L"proc" && argc >= 3) return CmdProc(std::wcstoul(argv[2], nullptr, 0));
    if (command == L"handles" && argc >= 3)
        return CmdHandles(std::wcstoul(argv[2], nullptr, 0), Flag(argc, argv, L"--names"));
    if (command == L"hold" && argc >= 4) return CmdHold(std::wcstol(argv[2], nullptr, 0), argv[3]);
    if (command == L"ps") return CmdPs();
    if (command == L"screen") return CmdScreen();
    if (command == L"shell") return CmdShell();
    if (command == L"send") return CmdMessage(false, argc, argv);
    if (command == L"post") return CmdMessage(true, argc, argv);
    if (command == L"postpress") return CmdPostPress(argc, argv, filter.pid);
    if (command == L"keydacl" && argc >= 3) return CmdKeyDacl(argv[2]);
    return Usage();
}

int Serve() {
    char line[8192];
    while (std::fgets(line, sizeof line, stdin)) {
        line[std::strcspn(line, "\r\n")] = '\0';
        std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, line, -1, nullptr, 0), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, line, -1, wide.data(), static_cast<int>(wide.size()));
        std::vector<wchar_t*> args{const_cast<wchar_t*>(L"uidriver")};
        for (wchar_t *field = wide.data(), *tab; field; field = tab ? tab + 1 : nullptr) {
            if ((tab = std::wcschr(field, L'\t'))) *tab = L'\0';
            if (*field) args.push_back(field);
        }
        int rc = Dispatch(static_cast<int>(args.size()), args.data());
        std::printf("\x1e%d\n", rc);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"serve") == 0) return Serve();
    return Dispatch(argc, argv);
}
