"""Shared pieces of the install, close and abort scenarios: starting the installer with a record of
what it paints, reading its window and message boxes, the server's record in compact form, and
closing the window the way a user does.

What the window paints is read from Wine's own trace of DrawTextExW (the "text" debug channel),
which the installer is started with: every status and detail line it draws, in order, exactly as
drawn. Screenshots then show that those pixels really reached the screen.
"""

import glob
import hashlib
import json
import math
import re
import time
import unittest
from pathlib import Path
from urllib.parse import unquote

from harness import MAIN_CLASS, ScenarioCase, wine_major

from product import (  # noqa: F401 (the scenarios take these names from here too)
    ABORT_QUESTION, ABORTED_DURING_DOWNLOAD, ABORTED_DURING_INSTALL, ABORTED_OTHER, CAPTION, CLOSE_PRODUCT,
    CLOSED_AFTER_SUCCESS, CLOSED_WITH_LAUNCH, CONNECTING, DOWNLOAD_FAILED, DOWNLOAD_FINISHED, INSTALL_BUTTON,
    INSTALL_FAILED, INSTALL_STARTED, INSTALL_SUCCEEDED, INSTALLED, INSTALLING, LAUNCH_BUTTON, NOT_INSTALLED,
    PACKAGE, PACKAGE_RECORD_KEY, PBST_ERROR, PBST_NORMAL, PRODUCT_DIR, PRODUCT_EXE, RESTART_LOOK, RESUME_SCRIPT,
    SETUP_STARTED, SUCCESS_RESTART_QUESTION, WM_APP, WM_CLOSE, WM_COMMAND)
from wine_trace import Trace

# The package fails quickly and installs nothing: after each attempt the button is offered again, so
# one installer process can run attempt after attempt.
FAILING_PACKAGE = {"MORVELT_FAKE_EXIT": "3", "MORVELT_FAKE_NOINSTALL": "1"}

TRACE = "+timestamp,+text"

class Run:
    """One installer process and the texts it painted."""

    def __init__(self, session, app):
        self.s, self.app = session, app

    @property
    def pid(self):
        return self.s.main_window(visible=False)["pid"]

    def trace(self):
        return Trace(self.app.stdout_path)

    def error_state_requests(self):
        return self.trace().error_state_requests()

    def statuses(self):
        """The status lines drawn, each change once: what a user watching the window read."""
        return self.trace().statuses()

    def details(self):
        return self.trace().details()


# Wine 10 under QEMU: threads that used the network were seen to fault while the process ended
# (the table). These lines are the emulator's (the exit code they leave is read in the harness).
EMULATED_END_FAULT = re.compile(r"^.*(err:seh:segv_handler Got unexpected trap -1|err:virtual:virtual_setup_exception "
                                r"nested exception on signal stack|qemu: uncaught target signal 11).*$", re.M)


def without_emulated_end_faults(output):
    return EMULATED_END_FAULT.sub("", output) if wine_major() >= 10 else output


def request_kind(r):
    """A request in short: the report's type as a number, or "lookup" / "download"."""
    t = r["target"]
    if t.startswith("/wp-json/hlv/api"):
        m = re.search(r"[?&]type=(\d+)", t)
        return int(m.group(1)) if m else t
    if t.startswith("/index.php?option=com_hlvauth"):
        return "lookup"
    if t.startswith("/downloads_ls/"):
        return "download"
    return t


def field(r, name):
    m = re.search(r"[?&]%s=([^&]*)" % name, r["target"])
    return m.group(1) if m else None


def package_file(s):
    """The package in the folder of the latest run that made or took one (C:\\windows\\temp\\
    MORVELT_<session>); a path that does not exist while no run has one."""
    temp = s.prefix / "drive_c" / "windows" / "temp"
    folders = [Path(p) for p in glob.glob(str(temp / "MORVELT_*"))]
    named = {p.name[len("MORVELT_"):]: p for p in folders}
    for session in reversed([field(r, "session") for r in s.requests()]):
        if session in named:
            return named[session] / "MORVELT_PACKAGE.exe"
    return (sorted(folders)[-1] if folders else temp / "MORVELT_none") / "MORVELT_PACKAGE.exe"


def with_brief(expected, brief=INSTALLING):
    """The status sequences a watcher may read when `brief` stands only while a fast step runs
    (a failure report on loopback, a start that fails at once): drawn if a paint falls inside it,
    otherwise not. Anywhere else in the sequence it is still a failure."""
    return (list(expected), [t for t in expected if t != brief])


def compress_downloads(statuses):
    """Status lines with the run of download percentages folded into one "Downloading" entry."""
    out = []
    for text in statuses:
        if text.startswith("Downloading MORVELT... "):
            if out and out[-1] == "Downloading":
                continue
            text = "Downloading"
        out.append(text)
    return out


def bar_end_colour(shot, window, bar):
    """The colour just inside the right end of the bar: filled only when the bar stands full."""
    left, top = window["rect"][:2]
    r = bar["rect"]
    return shot.pixel(left + r[2] - 6, top + (r[1] + r[3]) // 2)


def filled(c):
    return max(c) - min(c) > 60  # the fill is a saturated colour; the empty bar is white or grey


class InstallCase(ScenarioCase):
    """Sessions, the installer, its window and the server's record, for the scenarios."""

    def closing_session(self, **options):
        """A session for timing a close. Without a window manager on the display, Wine's X11
        driver waits 2 s for every hidden top-level window to be withdrawn (the question box,
        then the main window), which no Windows does; on Wine's own desktop it does not."""
        options.setdefault("desktop", True)
        return self.session(**options)

    def serve_package(self, s, lookup_delay=0.4, **faults):
        """The package fake as the package the lookup names. On loopback every answer comes
        before the window has repainted, so by default the lookup takes 0.4 s and the download
        about 0.3 s: then "Connecting..." and the percentages are painted before the next text
        replaces them."""
        faults.setdefault("rate", 1_000_000)
        s.set_download(PACKAGE, file=s.fake("package_fake.exe"), **faults)
        s.set_lookup(PACKAGE.encode(), delay=lookup_delay)

    def start(self, s, *args, env=None, exe=None):
        """Starts the installer (or another build of it) with the given switches and environment
        (handed on to the package)."""
        env = dict(env or {})
        env.setdefault("WINEDEBUG", TRACE)
        started_at = time.time()
        app = s.start_installer(*args, env=env, exe=exe)
        s.main_window()
        run = Run(s, app)
        run.started_at = started_at
        return run

    def assertAbortSpeed(self, run, c, started, size, raw, speed, comp):
        """The abort's speed is size in kB times the fraction behind comp, over the whole seconds
        between the status object's creation (after the process start, before InstallStarted
        arrived) and the answer."""
        kb = size / 1024
        low = max(1, math.floor(c.pressed_at) - math.floor(started["t"]))
        high = math.floor(c.answered_at + 0.1) - math.floor(run.started_at)
        self.assertGreaterEqual(speed, kb * comp / 100 / high - 0.001, (raw, comp, low, high))
        self.assertLessEqual(speed, kb * (comp + 1) / 100 / low + 0.001, (raw, comp, low, high))

    def assertSpeedFits(self, started, finished, size):
        """DownloadFinished carries size/1024 over the whole seconds between the worker's start time
        (right after InstallStarted) and the end of the download; with none elapsed, 0.000."""
        raw = field(finished, "speed")
        text = unquote(raw)
        self.assertRegex(raw, r"^(%20)*\d+\.\d{3}$", "blanks sent as %20, three decimals")
        self.assertGreaterEqual(len(text), 10, "right-aligned in ten characters: %r" % text)
        speed = float(text)
        whole = math.floor(finished["t"]) - math.floor(started["t"])
        candidates = [n for n in (whole - 1, whole, whole + 1) if n >= 0]
        allowed = ["%.3f" % (size / 1024 / n if n else 0.0) for n in candidates]
        self.assertIn("%.3f" % speed, allowed, "speed %r for %d bytes over about %d s" % (text, size, whole))
        return speed

    def assertWorkerSequence(self, s, expected):
        """With an attempt started at once, the worker's requests come in their order while the
        SetupStarted report, on a thread nobody waits for, lands anywhere among them, once."""
        kinds = self.kinds(s)
        self.assertEqual(kinds.count(1), 1, kinds)
        self.assertEqual([k for k in kinds if k != 1], expected, kinds)

    def assertWorkerNumbers(self, reqs):
        """Each thread draws its query numbers from its own sequence, starting at 41."""
        by_kind = {request_kind(r): r for r in reqs}
        self.assertEqual(field(by_kind[0], "r"), "41")
        self.assertEqual(field(by_kind["lookup"], "r"), "18467")
        if 2 in by_kind:
            self.assertEqual(field(by_kind[2], "r"), "6334")
        outcome = by_kind.get(3) or by_kind.get(4)
        self.assertEqual(field(outcome, "r"), "26500" if 2 in by_kind else "6334")

    # -- the window --

    def ui(self, s):
        """(window, button, bar) as the UI driver sees them now."""
        w = s.main_window(visible=False)
        return w, s.control(w, cls="Button"), s.control(w, cls="msctls_progress32")

    def wait_ui(self, s, predicate, timeout=30, what="the window"):
        def probe():
            windows = s.windows(cls=MAIN_CLASS)
            if not windows:
                return None
            w = windows[0]
            state = (w, s.control(w, cls="Button"), s.control(w, cls="msctls_progress32"))
            return state if predicate(*state) else None
        return s.wait_for(probe, timeout, interval=0.15, what=what)

    def wait_installed(self, s, timeout=40, what="the installed state"):
        """Waits for the installed look: the launch button, enabled. The worker names the button
        before it ends the attempt and enables it last, so the name alone comes too early."""
        return self.wait_ui(s, lambda w, b, p: b["text"] == LAUNCH_BUTTON and b["enabled"], timeout, what)

    def wait_attempt_over(self, s, timeout=40):
        """Waits for the final state of an attempt: the button enabled and the bar without marquee."""
        return self.wait_ui(s, lambda w, b, p: b["enabled"] and not p["marquee"], timeout, "the attempt to end")

    def click_close_glyph(self, s):
        """Clicks the close glyph; answers when, in Unix milliseconds (as the driver's press does),
        so that what follows is timed from the click, not from the window lookup before it."""
        w = s.main_window()
        at_ms = time.time() * 1000.0
        s.click(w["rect"][0] + 485, w["rect"][1] + 15)
        return {"at_ms": at_ms}

    def post_close(self, s):
        """WM_CLOSE as the system sends it (the glyph cannot be clicked while a box disables the window)."""
        w = s.main_window(visible=False)
        s.driver("post", w["hwnd"], WM_CLOSE, 0, 0)

    def assertFinalBar(self, bar, state, run, error_requests=None):
        """The bar full, marquee off, in the given state. Where the control cannot hold the error
        state (Wine), the request for it must have reached the control: error_requests is the
        count of such requests the run should have made by now."""
        self.assertFalse(bar["marquee"], "marquee off")
        self.assertEqual(bar["range"], [0, 200])
        self.assertEqual(bar["pos"], 200, "the bar stands full")
        if error_requests is None:
            error_requests = 1 if state == PBST_ERROR else 0
        if state == PBST_ERROR and bar["state"] == PBST_ERROR:
            return
        self.assertEqual(bar["state"], PBST_NORMAL)
        self.assertEqual(run.error_state_requests(), error_requests,
                         "requests for the error state that reached the bar")

    # -- message boxes --

    def wait_box(self, s, text, timeout=20):
        def find():
            for b in s.msgboxes():
                if b["text"] == text and b["icon"]:  # every box of ours has an icon, once painted
                    return b
            return None
        return s.wait_for(find, timeout, interval=0.15, what="the box %r" % text)

    def assertBox(self, box, text, icon, buttons, window=None):
        self.assertEqual(box["text"], text)
        self.assertEqual(box["title"], CAPTION)
        self.assertEqual(box["icon"], icon)
        self.assertEqual([b["text"] for b in box["buttons"]], buttons)
        if window:
            self.assertEqual(box["owner"], window["hwnd"], "owned by the main window")

    def watch_close(self, s, run, act, known_boxes=(), timeout=10):
        """Runs act() (which answers the question or closes the window), then watches the installer
        until its process has ended: when the window was hidden, which new boxes appeared."""
        w = s.main_window(visible=False)
        known = set(known_boxes) | {b["hwnd"] for b in s.msgboxes(pid=w["pid"])}
        c = Closing()
        c.pressed_at = time.time()
        t0 = time.monotonic()
        answer = act()
        c.answered_at = time.time()
        if isinstance(answer, dict) and answer.get("at_ms"):
            # Timed from the press itself, not from the start of the program that pressed.
            t0 = time.monotonic() - (time.time() - answer["at_ms"] / 1000.0)
        while run.app.running and time.monotonic() - t0 < timeout:
            # Only a visible window is read further (its text): a window hidden while its thread
            # sleeps would hold up every reading of it. The hide is timed at the start of the reading
            # that found it: under emulation one reading alone can take a second.
            looked_at = time.time()
            if c.hidden_after is None and not s.driver("waitwindow", "--class", MAIN_CLASS, "--visible",
                                                        "--timeout", "0"):
                c.hidden_after = time.monotonic() - t0
                c.hidden_at = looked_at
            c.new_boxes += [b for b in s.msgboxes(pid=w["pid"]) if b["hwnd"] not in known]
            known |= {b["hwnd"] for b in c.new_boxes}
        c.exit_code = run.app.wait(max(0.1, timeout - (time.monotonic() - t0)))
        c.gone_after = (run.app.ended_at or time.monotonic()) - t0
        if c.hidden_after is None:
            c.hidden_after, c.hidden_at = c.gone_after, time.time()
        return c

    def assertHiddenBefore(self, c, report):
        """The window was hidden before the report went out: the first look that found it hidden
        came no later than one reading of the window after the report arrived. (A window hidden
        only when destroyed, after the report and the 2 s wait, is found 2 s later.)"""
        self.assertLess(c.hidden_at - report["t"], 1.0, "hidden %.2f s after the report" % (c.hidden_at - report["t"]))

    def confirm_abort(self, s, run, via="glyph", known_boxes=()):
        """Asks to close (the close glyph, or WM_CLOSE posted while a box disables the window),
        checks the question and answers Yes; returns the Closing."""
        w = s.main_window()
        before = {b["hwnd"] for b in s.msgboxes()}
        if via == "glyph":
            self.click_close_glyph(s)
        else:
            self.post_close(s)
        box = s.wait_for(lambda: [b for b in s.msgboxes()
                                  if b["text"] == ABORT_QUESTION and b["hwnd"] not in before and b["icon"]],
                         10, interval=0.1, what="the abort question, painted")[0]
        self.assertBox(box, ABORT_QUESTION, "question", ["Yes", "No"], w)
        return self.watch_close(s, run, lambda: s.press("Yes"), set(known_boxes) | {box["hwnd"]})

    def assertAbortSound(self, s, c, report_type, limit=3.0):
        """The process gone within limit seconds of Yes with exit code 0, no box after the answer,
        and the abort report the last thing the server heard from it."""
        self.assertEqual(c.exit_code, 0)
        self.assertLess(c.gone_after, limit, "gone %.2f s after Yes" % c.gone_after)
        self.assertEqual([b["text"] for b in c.new_boxes], [], "no box after the answer")
        time.sleep(0.5)
        reqs = s.requests()
        self.assertTrue(reqs, "the server heard something")
        last = reqs[-1]
        self.assertEqual(request_kind(last), report_type, "last request: %s" % last["raw"])
        self.assertGreaterEqual(last["t"], c.pressed_at, "the abort report came after the answer")
        # The measured times, kept with the scenario's artifacts.
        (s.artifacts / "closing.json").write_text(json.dumps({
            "report_after_answer_s": round(last["t"] - c.answered_at, 3), "hidden_after_s": round(c.hidden_after, 3),
            "gone_after_s": round(c.gone_after, 3), "report": last["target"]}, indent=1))
        return last

    # -- the server's record --

    def kinds(self, s, since=0):
        return [request_kind(r) for r in s.requests()[since:]]

    def wait_kind(self, s, kind, count=1, timeout=30):
        return s.wait_for(lambda: [r for r in s.requests() if request_kind(r) == kind][count - 1:] and
                          [r for r in s.requests() if request_kind(r) == kind], timeout, interval=0.1,
                          what="%d request(s) of kind %r" % (count, kind))[count - 1]

    def report(self, s, kind, nth=1):
        found = [r for r in s.requests() if request_kind(r) == kind]
        return found[nth - 1] if len(found) >= nth else None

    # -- the prefix --

    def temp_folder(self, s):
        """The prefix user's TEMP, as its registry names it: C:\\users\\<user>\\Temp under Wine 8,
        ...\\AppData\\Local\\Temp under Wine 10 as on Windows."""
        found = re.search(r'^\[Environment\][^\[]*?^"TEMP"="([^"]+)"', (s.prefix / "user.reg").read_text(errors="replace"),
                          re.M | re.S)
        self.assertTrue(found, "no TEMP in the prefix's user registry")
        return s.host_path(found.group(1).replace("\\\\", "\\"))

    def package_file(self, s):
        return package_file(s)

    def package_win(self, s):
        """The package file's Windows path, from its place in the prefix."""
        relative = self.package_file(s).relative_to(s.prefix / "drive_c")
        return "C:\\" + "\\".join(relative.parts)

    def plant_package(self, s, data, recorded_as=None):
        """The package in its folder as a restart leaves it: the file, its path and the SHA-256 the
        installer recorded for it (of recorded_as, if given: a file swapped since)."""
        folder = s.prefix / "drive_c" / "windows" / "temp" / "MORVELT_planted"
        folder.mkdir(exist_ok=True)
        (folder / "MORVELT_PACKAGE.exe").write_bytes(data)
        digest = hashlib.sha256(data if recorded_as is None else recorded_as).hexdigest()
        s.import_reg('Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"PackageSha256"=hex:%s\r\n'
                     '"PackagePath"="C:\\\\windows\\\\temp\\\\MORVELT_planted\\\\MORVELT_PACKAGE.exe"\r\n'
                     % (PACKAGE_RECORD_KEY, ",".join(digest[i:i + 2] for i in range(0, 64, 2))))

    def package_record(self, s):
        """The recorded SHA-256 as reg.exe shows it, or None."""
        values = s.reg_query(PACKAGE_RECORD_KEY) or {}
        return values.get("PackageSha256", (None, None))[1]

    def start_product(self, s, hold_ms=60000, denied=False):
        """The product fake running (it holds the "MORVELT" mutex) until stopped or hold_ms; denied:
        a mutex no other program may open (a product of another account or integrity level)."""
        s.popen(["wine", "C:\\fakes\\product_fake.exe", "--hold", str(hold_ms)], name="product",
                env={"MORVELT_FAKE_MUTEX_DENY": "1"} if denied else None)
        s.wait_for(lambda: "mutex name=MORVELT" in (s.fake_log("product") or ""), 20, what="the product's mutex")

    def stop_product(self, s):
        s.host_path("C:\\fakes\\stop_product").write_text("stop")
        s.wait_for(lambda: "stopping" in (s.fake_log("product") or ""), 10, what="the product to stop")
        time.sleep(0.3)  # its mutex goes with the process

    def package_log(self, s):
        return s.fake_log("package") or ""


class Closing:
    """What followed the answer to the close question (or a close without one)."""

    def __init__(self):
        self.pressed_at = None      # host time just before the answer was given
        self.answered_at = None     # host time once the driver had given it
        self.hidden_after = None    # seconds from the answer until the window was hidden or gone
        self.hidden_at = None       # host time at which the window was first seen hidden or gone
        self.gone_after = None      # seconds from the answer until the process had ended
        self.exit_code = None
        self.new_boxes = []         # boxes of the installer that appeared after the answer


BLANK_ZERO = "%20%20%20%20%200.000"  # an abort's speed 0.000, right-aligned in ten characters


def abort_detail(r):
    """The report's "&speed=...&comp=N" as (raw speed field, speed, comp)."""
    raw = field(r, "speed")
    comp = field(r, "comp")
    return raw, float(unquote(raw)), int(comp)
