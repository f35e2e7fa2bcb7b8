"""Faults of the downloaded package itself, one fault-table row each: a package that exits with 3
(and a click that starts again), one that crashes with an access violation, one that exits with
0x80000000 or with -1 (0xFFFFFFFF), and one that hangs until the user aborts. Each checks what the
user sees, the outcome report and its code, and what is left in the prefix: the package file until
the window closes, nothing installed, nothing else touched."""

import time
import unittest

import fault_table
from fault_checks import FaultCase, disk
from harness import job_outlived_by_its_programs
from install_support import (CONNECTING, INSTALLING, NOT_INSTALLED, PBST_ERROR, PBST_NORMAL, bar_end_colour,
                             compress_downloads, filled, request_kind)

PACKAGE_EXE = "MORVELT_PACKAGE.exe"
NO_INSTALL = {"MORVELT_FAKE_NOINSTALL": "1"}


class TestFailingPackage(FaultCase):
    # The package takes its time and the download is throttled a little, so that a second attempt
    # lasts long enough to be seen running.
    SLOW = {"MORVELT_FAKE_DELAY_MS": "500"}
    CASES = (
        # fault, knobs, the code InstallFailed carries (the exit code read as signed 32 bits), how
        # the attempt starts ("/i", or a click after SetupStarted), and whether a second click follows
        ("package exits with 3, then a click starts again", dict(NO_INSTALL, MORVELT_FAKE_EXIT="3", **SLOW), 3,
         "click", True),
        ("package crashes (access violation, 0xC0000005)", {"MORVELT_FAKE_CRASH": "1"}, -1073741819, "/i", False),
        ("package exits with 0x80000000", dict(NO_INSTALL, MORVELT_FAKE_EXIT="0x80000000", **SLOW), -2147483648,
         "click", False),
        ("package exits with -1 (0xFFFFFFFF)", dict(NO_INSTALL, MORVELT_FAKE_EXIT="-1"), -1, "/i", False),
    )

    def test_crash_and_extreme_exit_codes(self):
        s = self.closing_session()
        self.serve_package(s, rate=400_000)
        for fault, knobs, code, start, again in self.CASES:
            with self.subTest(fault=fault):
                self.failing(s, fault, knobs, code, start, again)

    def failing(self, s, fault, knobs, code, start, again):
        row = fault_table.Row(self, fault)
        before = disk(s)
        since = len(s.requests())
        logged = len(self.package_log(s))
        if start == "click":
            run = self.start(s, env=knobs)
            s.wait_for(lambda: len(s.requests()) > since, 10, what="SetupStarted")
            self.click_install(s)
        else:
            run = self.start(s, "/i", env=knobs)
        w, b, p = self.assertFailedState(s, run)
        statuses = run.statuses()
        self.assertEqual(compress_downloads(statuses), [CONNECTING, "Downloading", INSTALLING, NOT_INSTALLED], statuses)
        self.assertEqual(s.msgboxes(), [], "a failed package shows no box")
        crash_windows = [w for w in s.windows() if "Program Error" in (w.get("title") or "")]
        self.assertEqual(crash_windows, [], "no crash dialog")
        reqs = self.assertAttemptRequests(s, since, [0, "lookup", "download", 2, 4])
        self.assertTrue(reqs[4]["target"].endswith("&webinst=true&type=4&code=%d" % code), reqs[4]["target"])
        self.assertWorkerNumbers(reqs)
        if start == "click":
            shot = s.screenshot("failed-%d" % code)
            self.assertTrue(filled(bar_end_colour(shot, w, p)), "the bar drawn full")
            self.assertEqual([request_kind(r) for r in s.requests()[since:]], [1, 0, "lookup", "download", 2, 4])

        log = self.package_log(s)[logged:]
        self.assertIn("started cmdline=[ /S]", log)
        if "MORVELT_FAKE_CRASH" in knobs:
            self.assertIn("crashing", log)
            self.assertNotIn("exit code=", log, "it ended by its fault, not by exiting")
        else:
            self.assertIn("exit code=%d (0x%x)" % (code, code & 0xFFFFFFFF), log)
        self.assertNotIn("installed root=", log)
        size = s.fake("package_fake.exe").stat().st_size
        self.assertDiskAfter(s, before, package_size=size)
        row.seen("%s -> %s; no box; reports 0, lookup, download, 2, InstallFailed code=%d; button back, bar full"
                 % (INSTALLING, NOT_INSTALLED, code))
        if again:
            self.again(s, run, logged)

        # The package file stays until the window closes; then it goes.
        c, last = self.close_failed(s, run, 9)
        self.assertTrue(last["target"].endswith("&webinst=true&type=9"), last["target"])
        self.assertFalse(self.package_file(s).exists())
        row.seen(row.data["seen"] + "; close: AbortedOther, gone %.1f s after Yes, package file deleted" % c.gone_after)
        self.noteCache(row, self.assertDiskAfter(s, before), before)
        row.lost("nothing")

    def again(self, s, run, logged):
        """A click after the failure starts a whole new attempt, which leaves the error state."""
        before = len(s.requests())
        self.click_install(s)
        w, b, p = self.wait_ui(s, lambda w, b, p: not b["enabled"], 5, "the second attempt")
        self.assertTrue(p["marquee"])
        self.assertEqual(p["state"], PBST_NORMAL, "a new attempt leaves the error state")
        w, b, p = self.wait_attempt_over(s)
        self.assertFinalBar(p, PBST_ERROR, run, error_requests=2)
        statuses = run.statuses()
        second = statuses[statuses.index(NOT_INSTALLED) + 1:]
        self.assertEqual(compress_downloads(second), [CONNECTING, "Downloading", INSTALLING, NOT_INSTALLED], statuses)
        reqs = s.requests()[before:]
        self.assertEqual([request_kind(r) for r in reqs], [0, "lookup", "download", 2, 4])
        self.assertWorkerNumbers(reqs)
        self.assertEqual(self.package_log(s)[logged:].count("started cmdline=[ /S]"), 2)


class TestHangingPackage(FaultCase):
    def test_abort_while_the_package_hangs(self):
        row = fault_table.Row(self, "package hangs, abort while it runs")
        s = self.closing_session()
        self.serve_package(s)
        before = disk(s)
        run = self.start(s, "/i", env=dict(NO_INSTALL, MORVELT_FAKE_HANG="1"))
        s.wait_for(lambda: "hanging" in self.package_log(s), 30, what="the package to hang")
        s.wait_for(lambda: INSTALLING in run.statuses(), 10, what="the installing text")
        time.sleep(1.0)
        w, b, p = self.ui(s)
        self.assertFalse(b["enabled"])
        self.assertTrue(p["marquee"])
        self.assertEqual(s.msgboxes(), [])
        self.assertAttemptRequests(s, 0, [0, "lookup", "download", 2])

        c = self.confirm_abort(s, run)
        last = self.assertAbortSound(s, c, 8)
        self.assertTrue(last["target"].endswith("&webinst=true&type=8"), last["target"])
        # The abort does not stop the package: it goes on after the installer has gone (under
        # Wine 10 the job the installer held ends it; the table says so).
        time.sleep(1.0)
        running = [p for p in s.driver("ps") if p["exe"] == PACKAGE_EXE]
        self.assertEqual(len(running), 1 if job_outlived_by_its_programs() else 0, "the package still runs")
        self.assertNotIn("exit code", self.package_log(s))
        self.assertAttemptRequests(s, 0, [0, "lookup", "download", 2, 8])
        kept = self.package_file(s).exists()
        row.seen("%s, button disabled, marquee; abort: AbortedDuringInstall, gone %.1f s after Yes; the package "
                 "goes on running; package file %s"
                 % (INSTALLING, c.gone_after, "kept (the running package holds it)" if kept else "deleted"))
        # A running program's file cannot be deleted on Windows; the close ignores that failure.
        self.assertTrue(kept, "the running package's file stays")
        self.assertDiskAfter(s, before, package_size=s.fake("package_fake.exe").stat().st_size)
        row.lost("nothing")
        self.assertEqual(request_kind(s.requests()[-1]), 8, "nothing after the abort report")


if __name__ == "__main__":
    unittest.main()
