"""Handles and memory of the running installer under Wine.

Under Wine GetProcessHandleCount answers 0 for another process, so the handles are counted in the
system's handle table (the UI driver's "handles" command, NtQuerySystemInformation with
SystemExtendedHandleInformation, entries owned by the installer's process id). The scenarios first
show that this count is real: it follows, exactly, the events a helper process opens and closes.

The working set is the installer's own Wine process's resident set (/proc/<pid>/status, VmRSS and
its peak VmHWM), read every half second from the Linux side without loading Wine further, and
compared with what GetProcessMemoryInfo tells the UI driver.

E2E_BIG_DOWNLOAD_MIB sets the size of the long download (default 1024 MiB, which took about 17 s
on this machine's loopback).
"""

import json
import os
import re
import time
import unittest

import fault_table
import net_support as net
from harness import tools_dir
from install_support import (
    DOWNLOAD_FAILED, FAILING_PACKAGE, NOT_INSTALLED, PACKAGE, InstallCase, request_kind)
from product import TUTORIAL_LINK, TUTORIAL_URL

MIB = 1 << 20
ATTEMPTS = 5
TUTORIAL_PRESSES = 100
# The tutorial link stays shown while the download stands still at 60 %.
STALLED_SIZE, STALL_AFTER, STALLED_RATE = 4_000_000, 2_400_000, 400_000
HOLD_EVENTS = 64
# Slack in the working set of a long download, after its first seconds.
FLAT_BYTES = 4 * MIB
SAMPLE_INTERVAL = 0.5


def big_download_bytes():
    return int(os.environ.get("E2E_BIG_DOWNLOAD_MIB", "1024")) * MIB


def snapshot(root):
    """Every file below root, as {relative path: size}."""
    out = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            try:
                out[os.path.relpath(path, root)] = os.path.getsize(path)
            except OSError:
                pass
    return out


# Files an attempt may leave besides the package: Wine's download service keeps a copy of every
# download in the user's internet cache (with its index) and its cookie index; the fakes log.
# The harness puts the installer into C:\Downloads to start it from there.
PLATFORM_FILES = re.compile(r"^users/[^/]+/AppData/Local/Microsoft/Windows/(INetCache|INetCookies)/|^fakes/log/"
                            r"|^Downloads/MORVELTSetup\.exe$")
# The shell's first opens of a page may create objects it keeps for the rest of the process (seen:
# one more File handle between the first and the tenth press, in some runs); none after that.
LAZY_OFFSET = 2
# Wine's WinHTTP keeps a finished request's connection for reuse and closes it when it has been
# idle 30 s. Reports that overlap (presses faster than a loaded machine answers them) each leave
# one such socket, an unnamed File handle (seen: 30 quick presses, +3, all gone 36 s later).
IDLE_CONNECTIONS_CLOSED = 35


class ResourceCase(InstallCase):
    def counts(self, s, pid, settle=True, names=False):
        """The driver's figures for the process. With settle, read until two readings half a second
        apart agree on the handle count and threads (a report thread ending, say), for up to 15 s.
        With names, also each handle's type and object name."""
        extra = ("--names",) if names else ()
        now = s.driver("handles", pid, *extra)
        self.assertIsNotNone(now and now["handles"], "the handle table could be read: %s" % now)
        deadline = time.monotonic() + 15
        while settle and time.monotonic() < deadline:
            time.sleep(0.5)
            again = s.driver("handles", pid, *extra)
            if (again["handles"], again["threads"]) == (now["handles"], now["threads"]):
                return again
            now = again
        return now

    def changes(self, before, after):
        """Handles that came and went between two readings with names, as "+type name" / "-type name"."""
        def named(c):
            out = {}
            for _, kind, name in c["names"]:
                out[(kind, name)] = out.get((kind, name), 0) + 1
            return out
        old, new = named(before), named(after)
        diff = []
        for key in sorted(set(old) | set(new)):
            n = new.get(key, 0) - old.get(key, 0)
            if n:
                diff.append("%s%s %s%s" % ("+" if n > 0 else "-", key[0], key[1] or "(unnamed)",
                                           " x%d" % abs(n) if abs(n) > 1 else ""))
        return diff

    def prove_counting(self, s):
        """The handle count of another process follows the handles it opens and closes."""
        trigger = s.host_path("C:\\e2e") / "hold.trigger"
        p, out = s.popen(["wine", str(tools_dir() / "uidriver.exe"), "hold", str(HOLD_EVENTS),
                          "C:\\e2e\\hold.trigger"], name="hold")
        lines = lambda: [json.loads(x) for x in out.read_text().splitlines() if x.startswith("{")]
        pid = s.wait_for(lambda: lines() and lines()[0]["pid"], 30, what="the holding program")
        before = self.counts(s, pid)
        trigger.write_text("open")
        s.wait_for(lambda: any("holding" in x for x in lines()), 30, what="the events opened")
        holding = self.counts(s, pid)
        trigger.unlink()
        s.wait_for(lambda: any("released" in x for x in lines()), 30, what="the events closed")
        released = self.counts(s, pid)
        trigger.write_text("end")
        self.assertEqual(p.wait(30), 0)
        figures = (before["handles"], holding["handles"], released["handles"])
        print("handle count of a program holding %d events: before %d, holding %d, released %d"
              % ((HOLD_EVENTS,) + figures), flush=True)
        self.assertEqual(holding["handles"], before["handles"] + HOLD_EVENTS, (before, holding))
        self.assertEqual(holding["by_type"]["Event"], before["by_type"].get("Event", 0) + HOLD_EVENTS)
        self.assertEqual(released["handles"], before["handles"], (holding, released))
        # The older table (16-bit process ids) agrees with the extended one.
        self.assertEqual(holding["handles_classic"], holding["handles"])
        return figures

    def assertDiskAfter(self, s, before, after):
        """Nothing deleted, the package file gone, nothing created but what the platform keeps."""
        gone = sorted(set(before) - set(after))
        created = sorted(set(after) - set(before))
        self.assertEqual(gone, [], "deleted")
        self.assertFalse(self.package_file(s).exists(), "the package file is gone")
        self.assertEqual([p for p in created if not PLATFORM_FILES.match(p)], [], "created")
        self.assertFalse(s.exists("C:\\Program Files (x86)\\Quorbin"), "nothing installed")
        return created

    def write_figures(self, s, name, figures):
        (s.artifacts / name).write_text(json.dumps(figures, indent=1))


COM_POOL = 2  # RPC threads COM starts for calls to the desktop shell


class TestHandles(ResourceCase):
    def test_attempts_and_tutorial_reports_leave_the_handle_count(self):
        row = fault_table.Row(self, "handles and memory: %d attempts, %d tutorial reports"
                              % (ATTEMPTS, TUTORIAL_PRESSES))
        s = self.closing_session()
        proof = self.prove_counting(s)
        root = s.prefix / "drive_c"
        s.set_lookup(PACKAGE.encode())
        s.set_download(PACKAGE, file=s.fake("package_fake.exe"))
        disk_before = snapshot(root)
        run = self.start(s, env=FAILING_PACKAGE)
        s.wait_requests(net.API, 1)
        pid = s.main_window()["pid"]
        welcome = self.counts(s, pid, names=True)
        print("installer at the welcome: %d handles, %d threads, %d windows"
              % (welcome["handles"], welcome["threads"], welcome["windows"]), flush=True)

        # Five failed attempts, each started by a click on the enabled button.
        attempts = []
        for n in range(1, ATTEMPTS + 1):
            t0 = time.monotonic()
            before = len(s.requests())
            boxes, records, bar = net.run_attempt(s)
            self.assertEqual(boxes, [], "attempt %d: no box" % n)
            self.assertEqual(self.kinds(s, before), [0, "lookup", "download", 2, 4], "attempt %d" % n)
            self.assertTrue(s.requests()[-1]["target"].endswith("&type=4&code=3"), s.requests()[-1]["target"])
            self.assertEqual(run.statuses()[-1], NOT_INSTALLED)
            self.assertEqual((bar["pos"], bar["marquee"]), (200, False))
            c = self.counts(s, pid, names=True)
            print("after attempt %d (%.1f s): %d handles %s, %d threads, %d windows; since the last reading: %s"
                  % (n, time.monotonic() - t0, c["handles"], c["by_type"], c["threads"], c["windows"],
                     self.changes(attempts[-1] if attempts else welcome, c)), flush=True)
            attempts.append(c)
        handles = [c["handles"] for c in attempts]
        # Objects the first attempt creates once for the rest of the process (the download
        # service's cache index and cookie index, the class registry key) stay; from the second
        # attempt on nothing may be added.
        self.assertIn(handles[-1], handles[:2], "after attempt 5 as after attempt 1 or 2: %s" % handles)
        self.assertLessEqual(max(handles[1:]), handles[1], "no attempt after the second adds a handle: %s" % handles)
        self.assertEqual([x for x in self.changes(attempts[1], attempts[-1]) if x.startswith("+")], [],
                         "nothing added from attempt 2 to attempt 5")
        self.assertEqual({c["windows"] for c in attempts}, {welcome["windows"]}, "windows")
        self.assertLessEqual(max(c["threads"] for c in attempts[1:]), attempts[1]["threads"], "threads")
        self.assertEqual(self.package_file(s).read_bytes(), s.fake("package_fake.exe").read_bytes(),
                         "a failed attempt keeps the package until the window closes")

        # One more attempt, whose download stands still at 60 % with the tutorial link shown.
        s.set_download(PACKAGE, size=STALLED_SIZE, rate=STALLED_RATE, stall_after=STALL_AFTER)
        since = len(s.requests())
        self.click_install(s)
        s.wait_for(lambda: s.control(s.main_window(), text=TUTORIAL_LINK)["visible"], 30, what="the tutorial link")
        s.wait_for(lambda: "Downloading MORVELT... 60%" in run.statuses(), 30, what="the download at 60 %")
        w, link = s.main_window(), s.control(s.main_window(), text=TUTORIAL_LINK)
        # The expanded layout is whole on the screen, its "Almost done... Meanwhile," line included
        # (a paint caught between the layout's two fields once left it out for good).
        shot = s.screenshot("stalled-expanded")
        band = (w["rect"][0], w["rect"][1] + 196, w["rect"][0] + 500, w["rect"][1] + 222)
        self.assertGreater(shot.count(band, (30, 30, 30)), 100, "the line above the tutorial link")
        x = w["rect"][0] + link["rect"][0] + 40
        y = w["rect"][1] + (link["rect"][1] + link["rect"][3]) // 2
        stalled = self.counts(s, pid, names=True)
        presses = []
        done = 0
        t0 = time.monotonic()
        for batch in (1, 9, 40, 50):
            s.xdotool("mousemove", x, y, "click", "--repeat", batch, "--delay", 120, 1)
            done += batch
            s.wait_for(lambda: [r["query"].get("type") for r in s.reports()].count("10") >= done, 60,
                       what="%d tutorial reports" % done)
            reported = time.monotonic()
            s.wait_for(lambda: len((s.fake_log("browser") or "").splitlines()) >= done, 60,
                       what="%d pages opened" % done)
            c = self.counts(s, pid, names=True)
            print("after %3d tutorial presses (%.1f s): %d handles, %d threads; since the last reading: %s"
                  % (done, time.monotonic() - t0, c["handles"], c["threads"],
                     self.changes(presses[-1][1] if presses else stalled, c)), flush=True)
            presses.append((done, c))
        if [x for x in self.changes(presses[1][1], presses[-1][1]) if x.startswith("+")]:
            # Read again once the client's idle connections are closed: what stays then is the installer's.
            time.sleep(max(0.0, IDLE_CONNECTIONS_CLOSED - (time.monotonic() - reported)))
            c = self.counts(s, pid, names=True)
            print("%d s after the last report: %d handles, %d threads; since press 100: %s"
                  % (IDLE_CONNECTIONS_CLOSED, c["handles"], c["threads"], self.changes(presses[-1][1], c)), flush=True)
            presses[-1] = (done, c)
        press_handles = [c["handles"] for _, c in presses]
        # Wine's download service may end an idle thread of its own while the download stands
        # still (seen: one thread and its event, between press 10 and 50): counts may fall, never rise.
        self.assertLessEqual(press_handles[1] - press_handles[0], LAZY_OFFSET, press_handles)
        self.assertEqual([x for x in self.changes(presses[1][1], presses[-1][1]) if x.startswith("+")], [],
                         "nothing added from press 10 to press 100: %s" % [(n, c["handles"]) for n, c in presses])
        self.assertLessEqual(max(press_handles[1:]), press_handles[1], press_handles)
        # The pages open through the desktop shell, for which COM keeps a small pool of RPC threads of
        # its own (one or two under Wine, started when it likes); a report thread left over from each
        # of the 100 presses would stand far above it.
        self.assertLessEqual(max(c["threads"] for _, c in presses), stalled["threads"] + COM_POOL,
                             "no report thread left over")
        self.assertEqual(presses[-1][1]["windows"], welcome["windows"])

        # The server's record of the presses, and what the browser was asked to open.
        session = s.reports()[0]["query"]["session"]
        tutorial = [r for r in s.requests()[since:] if request_kind(r) == 10]
        self.assertEqual(len(tutorial), TUTORIAL_PRESSES)
        for r in tutorial:
            self.assertEqual(r["target"], "/wp-json/hlv/api?r=41&session=%s&webinst=true&type=10" % session)
        urls = [line.split("]")[0][5:] for line in s.fake_log("browser").splitlines() if line.startswith("url=[")]
        self.assertEqual(urls, [TUTORIAL_URL] * TUTORIAL_PRESSES)
        self.assertEqual(self.kinds(s, since)[:3], [0, "lookup", "download"])
        self.assertEqual(set(self.kinds(s, since)[3:]), {10}, "nothing but tutorial reports while stalled")
        row.seen("handles %d/%d/%d holding %d events; installer %d at the welcome, after attempts %s, "
                 "during the stalled download %d, after presses %s; 100 tutorial reports, 100 pages"
                 % (proof + (HOLD_EVENTS, welcome["handles"], handles, stalled["handles"],
                             "/".join("%d:%d" % (n, c["handles"]) for n, c in presses))))

        # Closing aborts the stalled download; the package file goes with it.
        c = self.confirm_abort(s, run)
        last = self.assertAbortSound(s, c, 7)
        self.assertRegex(last["target"], r"&type=7&speed=[^&]+&comp=60$")
        disk_after = snapshot(root)
        created = self.assertDiskAfter(s, disk_before, disk_after)
        self.write_figures(s, "resources.json", {
            "proof": proof, "welcome": welcome, "attempts": attempts, "stalled": stalled,
            "presses": presses, "created": created})
        row.lost("nothing")


class TestWorkingSet(ResourceCase):
    def test_a_long_download_keeps_the_working_set_flat(self):
        size = big_download_bytes()
        row = fault_table.Row(self, "handles and memory: %d MiB download" % (size // MIB))
        s = self.closing_session()
        root = s.prefix / "drive_c"
        s.set_lookup(PACKAGE.encode())
        # A program, so that it is run (and fails, by its knobs) once it is whole.
        padded = s.dir / "padded_package.exe"
        with open(padded, "wb") as f:
            f.write(s.fake("package_fake.exe").read_bytes())
            f.truncate(size)
        s.set_download(PACKAGE, file=padded)
        disk_before = snapshot(root)
        run = self.start(s, env=FAILING_PACKAGE)
        s.wait_requests(net.API, 1)
        pid = s.main_window()["pid"]
        unix_pid = run.app.linux_pid()
        with open("/proc/%d/cmdline" % unix_pid, "rb") as f:
            self.assertIn(b"MORVELTSetup.exe", f.read())

        def status():
            fields = {}
            with open("/proc/%d/status" % unix_pid) as f:
                for line in f:
                    name, _, value = line.partition(":")
                    if name in ("VmRSS", "VmHWM"):
                        fields[name] = int(value.split()[0]) * 1024
            return fields

        idle = self.counts(s, pid)
        idle_proc = status()
        print("before the download: working set %.1f MiB (driver) / VmRSS %.1f MiB, peak %.1f MiB; %d handles"
              % (idle["working_set"] / MIB, idle_proc["VmRSS"] / MIB, idle_proc["VmHWM"] / MIB, idle["handles"]),
              flush=True)
        # The two views of the working set are the same figure.
        self.assertLess(abs(idle["working_set"] - idle_proc["VmRSS"]), MIB, (idle["working_set"], idle_proc))

        since = len(s.requests())
        self.click_install(s)
        started = time.monotonic()
        samples = []
        while True:
            served = [r for r in s.server_log() if r["kind"] == "done" and r["sent"] >= size]
            now = status()
            samples.append((round(time.monotonic() - started, 1), now["VmRSS"], now["VmHWM"]))
            if served or time.monotonic() - started > 240:
                break
            time.sleep(SAMPLE_INTERVAL)
        seconds = time.monotonic() - started
        self.assertTrue(served, "the whole package was served within 240 s")
        mid = self.counts(s, pid, settle=False)
        s.wait_for(lambda: run.statuses() and run.statuses()[-1] == NOT_INSTALLED, 60, what="the attempt's end")
        end = self.counts(s, pid)
        end_proc = status()
        print("%d MiB in %.1f s (%.1f MiB/s)" % (size // MIB, seconds, size / MIB / seconds), flush=True)
        print("VmRSS samples (s, MiB): %s" % " ".join("%.1f:%.1f" % (t, r / MIB) for t, r, _ in samples), flush=True)

        # From the third second on every sample lies within FLAT_BYTES of the first, and the peak
        # the process reached over the whole download is no more above it.
        settled = [(t, r, p) for t, r, p in samples if t >= 2.0] or samples[-1:]
        first = settled[0][1]
        high = max(r for _, r, _ in settled)
        low = min(r for _, r, _ in settled)
        peak = end_proc["VmHWM"]
        print("working set over the download: first %.1f, low %.1f, high %.1f, peak %.1f, at the end %.1f MiB "
              "(driver %.1f MiB); handles %d before, %d at the end"
              % (first / MIB, low / MIB, high / MIB, peak / MIB, end_proc["VmRSS"] / MIB, end["working_set"] / MIB,
                 idle["handles"], end["handles"]), flush=True)
        self.assertGreaterEqual(len(settled), 3, "samples after the first seconds: %s" % samples)
        self.assertLessEqual(high - first, FLAT_BYTES, samples)
        self.assertLessEqual(first - low, FLAT_BYTES, samples)
        self.assertLessEqual(peak - max(first, idle_proc["VmHWM"]), FLAT_BYTES, (peak, first, idle_proc))
        self.assertLess(abs(end["working_set"] - end_proc["VmRSS"]), MIB)
        self.assertLessEqual(end["handles"], idle["handles"] + 16, "handles after the attempt: %s" % end)

        # The whole package arrived through the program: percentages to 100, the file complete;
        # then it ran and failed.
        percents = [int(m.group(1)) for m in map(net.PERCENT.match, run.statuses()) if m]
        self.assertEqual(percents[-1], 100, percents)
        # (At full loopback speed the download service reports so seldom that a speed sample, 3 s
        # apart, may never fall due: the detail line is not asked for here.)
        self.assertEqual(self.package_file(s).stat().st_size, size)
        self.assertEqual(self.kinds(s, since), [0, "lookup", "download", 2, 4])
        self.assertTrue(s.requests()[-1]["target"].endswith("&type=4&code=3"), s.requests()[-1]["target"])
        self.assertNotIn(DOWNLOAD_FAILED, run.statuses())
        row.seen("%d MiB in %.0f s; VmRSS %.1f..%.1f MiB from the 2nd s (first %.1f), peak %.1f; "
                 "driver %.1f MiB; InstallFailed code 3 (the package's)"
                 % (size // MIB, seconds, low / MIB, high / MIB, first / MIB, peak / MIB, end["working_set"] / MIB))

        c = self.confirm_abort(s, run)
        self.assertAbortSound(s, c, 9)
        created = self.assertDiskAfter(s, disk_before, snapshot(root))
        self.write_figures(s, "resources.json", {
            "size": size, "seconds": round(seconds, 2), "idle": idle, "idle_proc": idle_proc, "mid": mid,
            "end": end, "samples": samples, "created": created})
        row.lost("nothing")


if __name__ == "__main__":
    unittest.main()
