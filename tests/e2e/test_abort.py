"""Aborting a running attempt, stage by stage: the report the stage calls for, and that the abort is
sound: the process is gone within 3 s of Yes with exit code 0, nothing reaches the server after the
abort report, no further box appears, and a package started before the abort goes on by itself.
The stages while connecting, downloading (No, then Yes), with the download stalled, with the
running product's prompt open and with the outcome report held are aborted in test_abort_soak,
which carries their checks."""

import json
import math
import os
import time
import unittest

from harness import job_outlived_by_its_programs
from restart_support import DEFAULT_RESTART_QUESTION, QUORBIN, install_previous, lock, script_path
from install_support import (
    ABORT_QUESTION, BLANK_ZERO, INSTALLING, WM_COMMAND, InstallCase, abort_detail, request_kind)

IDYES = 6
RECORD_KEY = "SOFTWARE\\Halvaren\\MORVELT Web Installer"


class TestAbortStages(InstallCase):
    def lay_remains(self, s, folders):
        """Files the uninstaller leaves in a component folder, 500 to a folder: the delete takes a while."""
        remains = s.host_path(QUORBIN + "\\Pellam\\remains")
        for d in range(folders):
            folder = remains / ("d%02d" % d)
            folder.mkdir(parents=True)
            for f in range(500):
                (folder / ("f%03d.dat" % f)).write_bytes(b"r")
        return remains

    def test_in_the_second_the_attempt_began(self):
        """With no whole second to divide by, the speed sent is 0.000 (never nan or inf)."""
        s = self.closing_session()
        self.serve_package(s, lookup_delay=60)
        same_second = 0
        tries = []
        gap_ms = 150
        for attempt in range(6):
            before = len(s.requests())
            run = self.start(s)
            w = s.main_window()
            s.wait_for(lambda: len(s.requests()) > before, 10, what="SetupStarted")
            # The question is open first; the attempt starts under it, and Yes follows 150 ms (or, after an early Yes, up to 600 ms) later
            # from the same driver run: time for the worker to make its status object, and seldom
            # a second boundary in between. The driver says when each was queued.
            self.click_close_glyph(s)
            self.wait_box(s, "Are you sure you want abort MORVELT installation?")
            times = {}

            def post_and_press():
                out = s.tool("uidriver.exe", "postpress", w["hwnd"], WM_COMMAND, 104, 0, "Yes", "--ms", gap_ms)
                lines = out.stdout.splitlines()
                times.update(json.loads(lines[0]))
                # The press's own time: the driver's start (seconds under QEMU) is not the installer's.
                return json.loads(lines[1]) if len(lines) > 1 else None
            c = self.watch_close(s, run, post_and_press)
            self.assertEqual(c.exit_code, 0)
            time.sleep(0.5)
            last = s.requests()[-1]
            posted_at, pressed_at = times["post_at"], times["press_at"]
            tries.append((request_kind(last), round(posted_at % 1, 3), round(pressed_at - posted_at, 3)))
            if request_kind(last) == 9:
                # Yes came before the worker had its status object: an abort before the attempt. A
                # slow (loaded, emulated) machine needs a longer gap.
                gap_ms = min(2 * gap_ms, 600)
                continue
            last = self.assertAbortSound(s, c, 7)
            raw, speed, comp = abort_detail(last)
            self.assertEqual((raw, comp), (BLANK_ZERO, -1), last["target"])
            self.assertIn(0, self.kinds(s, before), "the attempt had begun")
            if math.floor(posted_at) == math.floor(pressed_at):
                same_second += 1
                break
        self.assertGreater(same_second, 0, "Yes never fell into the second the attempt began: (report, "
                           "fraction of the second at the post, seconds from post to Yes) %s" % tries)

    def test_while_a_large_previous_installation_is_deleted(self):
        # An abort that ends the worker inside the shell's delete, which may hold the loader lock
        # or the heap, must still see the process gone within 3 s of Yes.
        s = self.closing_session()
        self.serve_package(s)
        install_previous(s)
        remains = self.lay_remains(s, 40)
        run = self.start(s, "/i")
        s.wait_for(lambda: "done removed=" in (s.fake_log("uninstaller") or ""), 60, what="the uninstaller to end")
        s.wait_for(lambda: sum(1 for _ in remains.rglob("*.dat")) < 20000, 30, what="the delete to begin")
        c = self.confirm_abort(s, run)
        self.assertAbortSound(s, c, 9)
        self.assertTrue(any(remains.rglob("*.dat")), "the abort came after the delete had ended")
        self.assertEqual(self.package_log(s), "", "the package never ran")

    def test_on_the_restart_path_nothing_is_left_to_continue(self):
        # The question opens while the old installation is deleted; under it the worker meets the
        # locked file, records the package, writes the resume script and asks to restart. Yes to the
        # abort undoes all of that, so the next logon installs nothing.
        s = self.closing_session()
        self.serve_package(s)
        install_previous(s)
        lock(s, QUORBIN + "\\Vesk\\data\\cache.bin")
        remains = self.lay_remains(s, 8)
        run = self.start(s, "/i")
        s.wait_for(lambda: "done removed=" in (s.fake_log("uninstaller") or ""), 60, what="the uninstaller to end")
        self.click_close_glyph(s)
        question = self.wait_box(s, ABORT_QUESTION)
        s.wait_while_progressing(lambda: sum(len(files) for _, _, files in os.walk(remains)),
                                 what="the delete under the question")
        restart = self.wait_box(s, DEFAULT_RESTART_QUESTION, 60)
        self.assertTrue(s.exists(script_path(s)) and self.package_record(s), "the continuation was written")
        # Only administrators and the system may change the record, whatever the key had before.
        self.assertEqual(s.driver("keydacl", RECORD_KEY), "D:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)")
        c = self.watch_close(s, run, lambda: s.driver("post", question["hwnd"], WM_COMMAND, IDYES, 0),
                             {question["hwnd"], restart["hwnd"]})
        self.assertAbortSound(s, c, 9)
        self.assertFalse(s.exists(script_path(s)), "no resume script")
        self.assertIsNone(self.package_record(s), "no package record")
        self.assertFalse(self.package_file(s).exists())
        self.assertEqual(self.package_log(s), "", "the package never ran")

    def test_while_the_package_runs(self):
        s = self.closing_session()
        self.serve_package(s)
        # The package takes 30 s: room for the question and the answer on a loaded machine (with
        # 10 s an emulated, loaded run saw the package end before Yes).
        run = self.start(s, "/i", env={"MORVELT_FAKE_DELAY_MS": "30000"})
        s.wait_for(lambda: "knobs" in self.package_log(s), 30, what="the package to start")
        s.wait_for(lambda: INSTALLING in run.statuses(), 8, what="the installing text")
        c = self.confirm_abort(s, run)
        last = self.assertAbortSound(s, c, 8)
        self.assertTrue(last["target"].endswith("&webinst=true&type=8"), last["target"])
        self.assertNotIn("exit code", self.package_log(s), "the package still runs after the installer has gone")
        if not job_outlived_by_its_programs():  # Wine 10: the installer's job ended it (the table)
            time.sleep(1.0)
            self.assertNotIn("MORVELT_PACKAGE.exe", [p["exe"] for p in s.driver("ps")])
            return
        s.wait_for(lambda: "exit code=0" in self.package_log(s), 40, what="the package to finish by itself")
        self.assertIn("installed root=", self.package_log(s))
        self.assertEqual(request_kind(s.requests()[-1]), 8, "its end is not reported")


if __name__ == "__main__":
    unittest.main()
