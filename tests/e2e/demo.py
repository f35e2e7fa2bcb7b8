#!/usr/bin/python3
"""The demo: a whole install with the real installer under Wine, against the bundled test vendor
server, with the package fake as the demo package and Wine's desktop shell to launch the product.

    demo.py                  with $DISPLAY set: Wine's desktop opens on your display; click
                             "Download and Install", then "Close and Launch MORVELT"
    demo.py --unattended     (the default without a display) runs "/i /l" under Xvfb and saves
                             screenshots of the welcome, downloading and installed states in build/demo/

Either way it ends by printing what happened: the requests the server received and the logs of the
package and product fakes. Everything runs in a throwaway prefix and network namespace (needs root).
"""

import argparse
import os
import re
import shutil
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import harness  # noqa: E402
from install_support import LAUNCH_BUTTON, PACKAGE, TRACE, Run, request_kind  # noqa: E402

DEMO_DIR = harness.BUILD / "demo"
# About 10 s for the 276 KB package: the percentages, speed and time left can be watched, and the
# layout expands with the tutorial link after 5 s.
RATE = 28_000
PRODUCT_LIFETIME_MS = 20_000


class ExistingDisplay:
    """The user's X display in place of the session's Xvfb. Its socket in /tmp/.X11-unix is a file,
    which the session's private network namespace can reach."""

    def __init__(self, ns, screen=None):
        self.name = os.environ["DISPLAY"]
        self.proc = None

    def stop(self):
        pass  # not ours to stop


def local_display():
    """The $DISPLAY the namespace can reach (":N" with its socket file), or None."""
    m = re.match(r"^:(\d+)(\.\d+)?$", os.environ.get("DISPLAY", ""))
    if m and Path("/tmp/.X11-unix/X%s" % m.group(1)).exists():
        return os.environ["DISPLAY"]
    return None


def prepare(s):
    s.set_lookup(PACKAGE.encode())
    s.set_download(PACKAGE, file=s.fake("package_fake.exe"), rate=RATE)
    fakes = s.host_path("C:\\fakes")
    (fakes / "product_window").write_text("1")  # the demo product shows a small "MORVELT" window
    (fakes / "product_lifetime_ms").write_text(str(PRODUCT_LIFETIME_MS))


def main_window_or_none(s):
    windows = s.windows(cls=harness.MAIN_CLASS)
    return windows[0] if windows else None


def save(shot, name):
    DEMO_DIR.mkdir(parents=True, exist_ok=True)
    target = DEMO_DIR / name
    shutil.copy2(shot.path, target)
    return target


def crop_to_window(shot_path, window, target):
    left, top, right, bottom = window["rect"]
    harness.subprocess.run([harness.CONVERT, str(shot_path), "-crop", "%dx%d+%d+%d" % (right - left, bottom - top,
                                                                                      left, top), "+repage",
                            str(target)], check=True)


def picture_runs(s, shots):
    """The welcome is only seen before an attempt, and with /l the installed state only for the
    moment the desktop shell takes to start the product: each gets a short run of its own first."""
    marks = []
    welcome = s.start_installer()
    w = s.main_window()
    s.wait_requests("/wp-json/hlv/api", 1)
    shot = s.screenshot("welcome")
    shots.append(save(shot, "welcome.png"))
    crop_to_window(shot.path, w, DEMO_DIR / "welcome-window.png")
    welcome.kill()
    s.wait_no_window()
    marks.append((len(s.requests()), "welcome picture"))

    s.set_download(PACKAGE, file=s.fake("package_fake.exe"))  # no need to wait for this one
    installed = s.start_installer("/i")
    w = s.wait_for(lambda: (lambda w: w if w and s.control(w, text=LAUNCH_BUTTON) else None)(main_window_or_none(s)),
                   60, interval=0.2, what="the installed state")
    shot = s.screenshot("installed")
    shots.append(save(shot, "installed.png"))
    crop_to_window(shot.path, w, DEMO_DIR / "installed-window.png")
    installed.kill()
    s.wait_no_window()
    marks.append((len(s.requests()), "installed picture (/i)"))
    s.set_download(PACKAGE, file=s.fake("package_fake.exe"), rate=RATE)
    return marks


def unattended(s):
    shots = []
    marks = picture_runs(s, shots)
    app = s.start_installer("/i", "/l", env={"WINEDEBUG": TRACE, "MORVELT_FAKE_DELAY_MS": "2500"})
    run = Run(s, app)
    print("installer started with /i /l", flush=True)

    def expanded():
        w = main_window_or_none(s)
        link = w and s.control(w, text="Watch MORVELT Tutorial")
        return w if link and link["visible"] else None
    w = s.wait_for(expanded, 30, interval=0.2, what="the expanded download layout")
    time.sleep(0.5)
    shot = s.screenshot("downloading", settle=False)
    shots.append(save(shot, "downloading.png"))
    crop_to_window(shot.path, w, DEMO_DIR / "downloading-window.png")
    code = app.wait(60)
    print("installer ended with exit code %s; it painted: %s" % (code, " / ".join(
        t for t in run.statuses() if not t.startswith("Downloading MORVELT... ") or t.endswith(" 60%"))))
    return marks, shots


def interactive(s):
    app = s.start_installer(env={"WINEDEBUG": TRACE, "MORVELT_FAKE_DELAY_MS": "2500"})
    s.main_window(timeout=60)
    print("The installer is on your display (inside Wine's desktop window). Click \"Download and Install\",")
    print("watch the download, then click \"%s\". Close its window to stop early." % LAUNCH_BUTTON, flush=True)
    code = app.wait(1800)
    print("installer ended with exit code %s" % code)
    if "window created" in (s.fake_log("product") or ""):
        print("The demo product is running; the demo ends in 10 s.", flush=True)
        time.sleep(10)
    return [], []


def report(s, marks):
    print("\nRequests the vendor server received:")
    for i, r in enumerate(s.requests()):
        mark = next(("  (%s)" % label for end, label in marks if i < end), "")
        print("  %-8s %s%s" % (request_kind(r), r["raw"], mark))
    s.wait_for(lambda: s.fake_log("product"), 20, what="the product to start")
    for name in ("package", "product"):
        log = s.fake_log(name) or "(nothing)\n"
        print("\n%s fake log:\n%s" % (name.capitalize(), "".join("  " + line + "\n" for line in log.splitlines())))


def main():
    parser = argparse.ArgumentParser(description="MORVELT installer demo")
    parser.add_argument("--unattended", action="store_true", help="run /i /l under Xvfb even with a display")
    args = parser.parse_args()
    display = None if args.unattended else local_display()
    if not args.unattended and os.environ.get("DISPLAY") and not display:
        print("demo: $DISPLAY %s cannot be reached from the demo's network namespace; running unattended"
              % os.environ["DISPLAY"])
    if display:
        harness.Display = ExistingDisplay  # the session then opens its windows on the user's display

    with harness.Session("demo", desktop=True, server_timeout=1900 if display else 300) as s:
        prepare(s)
        marks, shots = interactive(s) if display else unattended(s)
        report(s, marks)
        if shots:
            print("Screenshots: %s (and the *-window.png crops)" % ", ".join(str(p) for p in shots))
    return 0


if __name__ == "__main__":
    sys.exit(main())
