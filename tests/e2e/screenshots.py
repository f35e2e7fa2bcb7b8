#!/usr/bin/python3
"""The README's pictures of the installer's window, made with the real installer under Wine and
Xvfb against the test vendor server, each cropped to the 500 by 330 window:

    docs/welcome.png          before any attempt
    docs/downloading.png      the expanded layout of a download running for more than 5 s: the
                              percentage, the speed and time left, the tutorial link
    docs/failed.png           after a download that failed (the error box answered)
    docs/installed.png        after a successful attempt: "Close and Launch MORVELT"
    docs/restart-pending.png  the restart-pending look (the restart question answered No)

Each state is first checked on the window (the driver's view, the texts Wine traced as drawn, a few
pixels of the shot), so a picture of the wrong state is never written. Needs root (the session's
network namespace). Full-screen shots are kept in build/e2e/artifacts/screenshots/.
"""

import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import harness  # noqa: E402
import net_support as net  # noqa: E402
from install_support import (  # noqa: E402
    DOWNLOAD_FAILED, INSTALL_BUTTON, LAUNCH_BUTTON, PACKAGE, RESTART_LOOK, TRACE, Run)
from restart_support import script_bytes, script_path, write_file  # noqa: E402

DOCS = harness.REPO / "docs"
TUTORIAL_LINK = "Watch MORVELT Tutorial"
WELCOME = "Welcome to MORVELT Setup."
# 8 MB at 160 kB/s: about 50 s of download, of which the picture needs the 8th second or so.
DOWNLOAD_SIZE, DOWNLOAD_RATE = 8_000_000, 160_000
BLACK, DETAIL_GREY, BLUE, BAND_LINE = (0, 0, 0), (80, 80, 80), (0, 0, 255), (30, 30, 30)


def crop(shot, window, name):
    """The window's 500 by 330 pixels of a full-screen shot, as a small PNG in docs/."""
    left, top, right, bottom = window["rect"]
    if (right - left, bottom - top) != (500, 330):
        raise AssertionError("the window is %dx%d" % (right - left, bottom - top))
    target = DOCS / name
    subprocess.run([harness.CONVERT, str(shot.path), "-crop", "500x330+%d+%d" % (left, top), "+repage", "-strip",
                    "-define", "png:compression-level=9", str(target)], check=True)
    return target


def ink(shot, window, box, colour):
    """Pixels of a colour in a box of the window (window coordinates)."""
    left, top = window["rect"][:2]
    l, t, r, b = box
    return shot.count((left + l, top + t, left + r, top + b), colour)


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def ui(s):
    w = s.main_window()
    return w, s.control(w, cls="Button"), s.control(w, cls="msctls_progress32")


def shoot(s, label, name, check):
    """A settled shot of the display; check(shot, window) must hold before the crop is written."""
    w = s.main_window()
    shot = s.screenshot(label)
    check(shot, w)
    target = crop(shot, w, name)
    print("%-22s %6d bytes  %s" % (name, target.stat().st_size, label), flush=True)
    return target


def end(s, app):
    app.kill()
    s.wait_no_window()


def welcome(s):
    app = s.start_installer(env={"WINEDEBUG": TRACE})
    run = Run(s, app)
    s.main_window()
    s.wait_requests(net.API, 1)
    s.wait_for(lambda: WELCOME in net.installer_trace(app).texts(), 10, what="the welcome painted")
    _, button, _ = ui(s)
    expect(button["text"] == INSTALL_BUTTON and button["enabled"], "the install button offered")
    shoot(s, "welcome", "welcome.png",
          lambda shot, w: expect(ink(shot, w, (0, 120, 500, 160), (128, 128, 128)) > 200, "the welcome texts"))
    end(s, run.app)


def downloading(s):
    s.set_download(PACKAGE, size=DOWNLOAD_SIZE, rate=DOWNLOAD_RATE)
    app = s.start_installer(env={"WINEDEBUG": TRACE})
    run = Run(s, app)
    s.main_window()
    s.wait_requests(net.API, 1)
    harness.click_install(s)
    started = time.monotonic()

    def expanded_with_detail():
        _, _, _, link = net.controls(s)
        details = [d for d in run.details() if net.DETAIL.match(d)]
        return link["visible"] and details and run.statuses() and net.PERCENT.match(run.statuses()[-1])
    s.wait_for(expanded_with_detail, 40, interval=0.3, what="the expanded layout with speed and time left")
    expect(time.monotonic() - started > 5, "more than 5 s into the attempt")

    def check(shot, w):
        expect(ink(shot, w, (0, 113, 500, 143), BLACK) > 100, "the percentage line")
        expect(ink(shot, w, (0, 128, 500, 158), DETAIL_GREY) > 100, "the speed and time-left line")
        expect(ink(shot, w, (160, 215, 340, 240), BLUE) > 150, "the tutorial link")
        expect(ink(shot, w, (0, 196, 500, 222), BAND_LINE) > 100, "Almost done... Meanwhile,")
    shoot(s, "downloading", "downloading.png", check)
    end(s, run.app)


def failed(s):
    s.set_tls(refuse=["127.0.0.1"])  # the download host's handshake fails: the download fails
    s.set_download(PACKAGE, file=s.fake("package_fake.exe"))
    app = s.start_installer(env={"WINEDEBUG": TRACE})
    run = Run(s, app)
    s.main_window()
    s.wait_requests(net.API, 1)
    boxes, _, bar = net.run_attempt(s)
    expect([b["text"] for b in boxes] == [DOWNLOAD_FAILED], "the error box: %s" % boxes)
    expect(run.statuses()[-1] == DOWNLOAD_FAILED, "the status %s" % run.statuses()[-1:])
    expect((bar["pos"], bar["marquee"]) == (200, False), "the bar full")
    shoot(s, "download failed", "failed.png",
          lambda shot, w: expect(ink(shot, w, (0, 133, 500, 163), BLACK) > 200, "the status line"))
    end(s, run.app)
    s.set_tls()


def installed(s):
    s.set_download(PACKAGE, file=s.fake("package_fake.exe"))
    app = s.start_installer("/i", env={"WINEDEBUG": TRACE})
    run = Run(s, app)
    s.wait_for(lambda: (lambda b: b and b["text"] == LAUNCH_BUTTON and b["enabled"])(ui(s)[1]), 60,
               interval=0.3, what="the installed state")
    shoot(s, "installed", "installed.png",
          lambda shot, w: expect(ink(shot, w, (0, 133, 500, 163), BLACK) > 200, "the status line"))
    end(s, run.app)


def restart_pending(s):
    # With the resume script present and no continuation switch the installer starts in the
    # restart-pending look and asks for the restart at once; the answer No leaves the look.
    script = write_file(s, script_path(s), script_bytes(harness.INSTALLER_WIN_PATH.encode(), b"/c"))
    app = s.start_installer(env={"WINEDEBUG": TRACE})
    run = Run(s, app)
    w = s.main_window()
    box = s.wait_msgbox(20)
    expect(box["buttons"] and [b["text"] for b in box["buttons"]] == ["Yes", "No"], "the restart question")
    s.press("No")
    s.wait_for(lambda: not s.msgboxes(pid=w["pid"]), 10, what="the question to go")
    expect(run.statuses()[-1] == RESTART_LOOK, "the status %s" % run.statuses()[-1:])
    _, button, bar = ui(s)
    expect(not button["enabled"] and bar["pos"] == 200, "the button disabled and the bar full")
    shoot(s, "restart pending", "restart-pending.png",
          lambda shot, w: expect(ink(shot, w, (0, 133, 500, 163), BLACK) > 200, "the status line"))
    end(s, run.app)
    script.unlink()


def main():
    DOCS.mkdir(exist_ok=True)
    with harness.Session("screenshots", desktop=True) as s:
        s.set_lookup(PACKAGE.encode())
        for step in (welcome, downloading, failed, installed, restart_pending):
            step(s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
