"""What the removal and restart scenarios share: the previous installation the package fake lays
down, the prefix's pending deletions and all-users Startup folder, the texts the installer draws,
the processes of a session, and a launcher that starts a program without the shutdown privilege.

Painted texts are read through wine_trace (the installer runs with WINEDEBUG=trace+text), which
names every text with the rectangle it was drawn into; the scenarios check the pixels of the same
band as well.
"""

import contextlib
import fcntl
import hashlib
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

from harness import E2E_DIR, wine_major

from product import (  # noqa: F401 (the scenarios take these names from here too)
    BLACK, CAPTION, COMPONENTS, DEFAULT_RESTART_QUESTION, INSTALL_COMMAND, PACKAGE, PBST_ERROR, PRODUCT_KEY,
    QUORBIN, RESTART_LOOK, STATUS_RECT, SUCCESS_RESTART_QUESTION, UNINSTALLERS, UNINSTALLING, WM_CLOSE,
    WM_COMMAND)
from wine_trace import Trace

SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"
SHELL_FOLDERS = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders"

# Text drawing, and the progress bar's note when it is asked for a state it does not draw.
TRACE = "-all,trace+text,fixme+progress"


# ---- the previous installation --------------------------------------------------------------

def install_previous(s):
    """Lays down a previous installation with the package fake, as the real package would."""
    r = s.run(["wine", "C:\\fakes\\package_fake.exe", "--install-only"], timeout=60)
    log = s.fake_log("package") or ""
    if r.returncode != 0 or "complete=1" not in log:
        raise AssertionError("the package fake did not install: rc %s, log %s" % (r.returncode, log))
    # The fake's own start is not part of any scenario's record.
    s.host_path("C:\\fakes\\log\\package.txt").unlink()


def tree(s, win_path):
    """{relative path: bytes or None for a folder} of everything below a prefix folder."""
    root = s.host_path(win_path)
    out = {}
    if not root.exists():
        return out
    for dirpath, dirnames, filenames in os.walk(root, followlinks=False):
        for name in dirnames:
            p = Path(dirpath) / name
            out["\\".join(p.relative_to(root).parts)] = "link" if p.is_symlink() else None
        for name in filenames:
            p = Path(dirpath) / name
            out["\\".join(p.relative_to(root).parts)] = p.read_bytes() if p.exists() else "dangling"
    return out


def cmd_script(s, text, timeout=60):
    """Runs batch text with the prefix's command processor (no quoting through the Wine loader)."""
    write_file(s, "C:\\e2e\\step.bat", text.replace("\n", "\r\n").encode("cp1252"))
    return s.run(["wine", "cmd", "/c", "C:\\e2e\\step.bat"], timeout=timeout)


def write_file(s, win_path, data):
    p = s.host_path(win_path)
    p.parent.mkdir(parents=True, exist_ok=True)
    p.write_bytes(data if isinstance(data, bytes) else data.encode())
    return p


def registered_value(s):
    values = s.reg_query(PRODUCT_KEY)
    return values and values.get("")


def pending_deletions(s):
    """Paths the prefix will delete at its next start (PendingFileRenameOperations entries with
    no destination), in order, without their \\??\\ prefix; renames are returned as (src, dst)."""
    values = s.reg_query(SESSION_MANAGER, "PendingFileRenameOperations")
    if not values or "PendingFileRenameOperations" not in values:
        return []
    kind, data = values["PendingFileRenameOperations"]
    parts = data.split("\\0")
    out = []
    for i in range(0, len(parts) - 1, 2):
        src, dst = parts[i], parts[i + 1]
        if not src:
            break
        src = src[4:] if src.startswith("\\??\\") else src
        out.append(src if not dst else (src, dst))
    return out


def lock(s, win_path):
    """Holds a file open without delete sharing (locker fake) until stop_locker; returns the proc."""
    p, _ = s.popen(["wine", "C:\\fakes\\locker_fake.exe", win_path], name="locker")
    s.wait_for(lambda: "holding path=[%s]" % win_path in (s.fake_log("locker") or ""), 20,
               what="the locker to hold %s" % win_path)
    return p


# ---- the resume script ----------------------------------------------------------------------

def startup_folder(s):
    """The all-users Startup folder as the prefix's shell names it (CSIDL_COMMON_STARTUP)."""
    values = s.reg_query(SHELL_FOLDERS, "Common Startup")
    if not values:
        raise AssertionError("the prefix names no all-users Startup folder")
    return list(values.values())[0][1]


def script_path(s):
    return startup_folder(s) + "\\MORVELT_SETUP.bat"


def script_bytes(installer_path, arguments):
    return b'start "MORVELT" "' + installer_path + b'" ' + arguments + b"\r\nexit\r\n"


def temp_folder(s):
    r = s.run(["wine", "cmd", "/c", "echo %TEMP%"], timeout=30)
    return r.stdout.strip().splitlines()[-1].strip()


# ---- what the installer shows -----------------------------------------------------------------

def status_texts(out_path):
    """The texts drawn into the status line of the normal layout, in order, repeats collapsed."""
    return Trace(out_path).statuses(expanded=False, welcome=True)


def error_state_requests(out_path):
    """How often Wine's progress bar was asked for the error state it cannot draw."""
    return Trace(out_path).error_state_requests()


def status_line_pixels(shot, window):
    """Black text pixels of the status line (window coordinates) in a screenshot."""
    left, top = window["rect"][0], window["rect"][1]
    l, t, r, b = STATUS_RECT
    return [(x - left, y - top) for x, y, c in shot.pixels((left + l, top + t, left + r, top + b)) if c == BLACK]


def controls(s, window=None):
    w = window or s.main_window()
    return (w, s.control(w, cls="Button"), s.control(w, cls="msctls_progress32"))


def close_window(s, window):
    """The system's close command (what the close glyph and Alt+F4 send)."""
    s.driver("post", window["hwnd"], WM_CLOSE, 0, 0)


def post_install_command(s, window):
    """The install button's command posted to the window: reaches the handler even while the
    button is disabled, where a click would not."""
    s.driver("post", window["hwnd"], WM_COMMAND, INSTALL_COMMAND, 0)


class RestartLookChecks:
    """Checks of the restart question and the restart-pending look, for a unittest case."""

    def assertQuestion(self, box, text):
        self.assertEqual(box["text"], text)
        self.assertEqual(box["title"], CAPTION)
        self.assertEqual(box["icon"], "question")
        self.assertEqual([b["text"] for b in box["buttons"]], ["Yes", "No"])

    def assertRestartLook(self, s, out, label):
        w = s.main_window()
        button = s.control(w, cls="Button")
        bar = s.control(w, cls="msctls_progress32")
        self.assertFalse(button["enabled"], "the install button is disabled")
        self.assertEqual(bar["range"], [0, 200])
        self.assertEqual(bar["pos"], 200, "the bar stands full")
        self.assertFalse(bar["marquee"])
        # Wine 8's progress bar does not draw the error state: it answers PBM_GETSTATE with 1 and
        # notes "state 2 not yet handled" for the request, which is what is checked there.
        if bar["state"] != PBST_ERROR:
            self.assertEqual(bar["state"], 1)
            self.assertGreaterEqual(error_state_requests(out), 1, "the error state was asked for")
        self.assertEqual(status_texts(out)[-1], RESTART_LOOK)
        shot = s.screenshot(label)
        if s.msgboxes():
            return w  # the question lies over the status line
        ink = status_line_pixels(shot, w)
        self.assertGreater(len(ink), 200, "the status line is written in black")
        xs = [x for x, _ in ink]
        self.assertAlmostEqual((min(xs) + max(xs)) / 2, 250, delta=3, msg="centred")
        return w

    def assertClosesQuietly(self, s, process, window):
        """Closing in the restart-pending state: no question, no report, the process ends with 0."""
        requests_before = len(s.requests())
        close_window(s, window)
        code = s.wait_for(lambda: process.poll() is not None and ("exit", process.poll()), 15,
                          what="the installer to end")[1]
        self.assertEqual(code, 0)
        self.assertEqual(s.msgboxes(), [], "closing asked nothing")
        time.sleep(1.0)  # room for a report that should not come
        self.assertEqual(len(s.requests()), requests_before, [r["raw"] for r in s.requests()[requests_before:]])


# ---- processes --------------------------------------------------------------------------------

def windows_processes(s, pids=False):
    """Command lines of the Windows programs running in the session (Linux view); with pids,
    (pid, command line) pairs."""
    out = subprocess.run(["ip", "netns", "pids", s.ns.name], capture_output=True, text=True).stdout
    procs = []
    for pid in out.split():
        try:
            args = Path("/proc/%s/cmdline" % pid).read_bytes().split(b"\0")
        except OSError:
            continue
        # Under the 32-bit emulator (scripts/enable-i386.sh) the process is the emulator running
        # Wine's loader, and Wine's rewrite of its arguments stays inside the emulated memory.
        if args and args[0].endswith(b"qemu-i386") and len(args) > 2 and os.path.basename(args[1]).startswith(b"wine"):
            args = args[2:]
        first = args[0].decode(errors="replace")
        if re.match(r"^[A-Za-z]:\\", first):
            line = " ".join(a.decode(errors="replace") for a in args if a)
            procs.append((int(pid), line) if pids else line)
    return procs


def end_what_the_restart_left(s):
    """Under Wine 10 the restart was seen to leave the desktop and the served driver running now
    and then (the table): the machine's own end, which Wine does not play, ends them."""
    if wine_major() < 10:
        return
    for pid, _ in windows_processes(s, pids=True):
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGKILL)
    if s._served:
        s._drop_served()


# ---- a start without the shutdown privilege ---------------------------------------------------

_LAUNCHER_SOURCE = r"""
// restricted_start [--keep] <command line>: starts the command line with this process's token
// minus SeShutdownPrivilege (with --keep: the same token, restricted by nothing). Prints the
// started process's id. Runs elevated (its manifest), as whatever starts the installer must: on
// Windows a limited token cannot start it (ERROR_ELEVATION_REQUIRED), and Wine 10 starts it
// with its own full token instead of the one given.
#include <windows.h>
#include <cstdio>
#include <cwchar>
int wmain(int argc, wchar_t** argv) {
    bool keep = argc > 1 && wcscmp(argv[1], L"--keep") == 0;
    if (argc < (keep ? 3 : 2)) return 2;
    const wchar_t* command = argv[keep ? 2 : 1];
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) return 3;
    LUID_AND_ATTRIBUTES drop{};
    if (!LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &drop.Luid)) return 4;
    HANDLE token = nullptr;
    if (!CreateRestrictedToken(own, 0, 0, nullptr, keep ? 0 : 1, keep ? nullptr : &drop, 0, nullptr, &token))
        return 5;
    static wchar_t line[4096];
    lstrcpynW(line, command, 4096);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessAsUserW(token, nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &process)) {
        printf("{\"error\":%lu}\n", GetLastError());
        return 6;
    }
    printf("{\"pid\":%lu}\n", process.dwProcessId);
    return 0;
}
"""


_LAUNCHER_MANIFEST = ('<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"><trustInfo xmlns='
                      '"urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges><requestedExecutionLevel '
                      'level="requireAdministrator"/></requestedPrivileges></security></trustInfo></assembly>')


def restricted_launcher():
    """Host path of the launcher, built once per source with the project's cross compiler."""
    digest = hashlib.sha1((_LAUNCHER_SOURCE + _LAUNCHER_MANIFEST).encode()).hexdigest()[:12]
    folder = E2E_DIR / "helpers"
    folder.mkdir(parents=True, exist_ok=True)
    exe = folder / ("restricted_start-%s.exe" % digest)
    with open(folder / "build.lock", "w") as guard:
        fcntl.flock(guard, fcntl.LOCK_EX)
        if not exe.exists():
            src = folder / ("restricted_start-%s.cpp" % digest)
            src.write_text(_LAUNCHER_SOURCE)
            src.with_suffix(".manifest").write_text(_LAUNCHER_MANIFEST)
            res = src.with_suffix(".res")
            subprocess.run(["i686-w64-mingw32-windres", "-O", "coff", "-o", str(res)], cwd=folder, check=True,
                           input='1 24 "%s"\n' % src.with_suffix(".manifest").name, text=True, capture_output=True)
            tmp = exe.with_suffix(".tmp")
            subprocess.run(["i686-w64-mingw32-g++", "-O1", "-municode", "-static", "-o", str(tmp), str(src),
                            str(res)], check=True, capture_output=True)
            os.replace(tmp, exe)
    return exe


def start_restricted(s, command_line, keep=False, env=None):
    """Starts a Windows command line from the launcher inside the session; returns (proc, out)."""
    exe = restricted_launcher()
    target = s.host_path("C:\\e2e\\restricted_start.exe")
    shutil.copy2(exe, target)
    args = ["wine", "C:\\e2e\\restricted_start.exe"] + (["--keep"] if keep else []) + [command_line]
    return s.popen(args, env=env, name="restricted")



# ---- one attempt --------------------------------------------------------------------------------

def serve_package(s, **faults):
    s.set_lookup(PACKAGE.encode())
    s.set_download(PACKAGE, file=s.fake("package_fake.exe"), **faults)


def report_types(s):
    return [int(r["query"]["type"]) for r in s.reports()]


def answer(s, button, window):
    """Presses a button of the question and waits until the box is gone from the screen (Wine
    destroys a hidden box a moment after it returned its answer)."""
    s.press(button)
    s.wait_for(lambda: not [w for w in s.windows(pid=window["pid"]) if w["class"] == "#32770"], 10,
               what="the question to go")
