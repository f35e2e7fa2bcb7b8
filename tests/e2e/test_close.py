"""Closing the window in the states where no attempt is running: before any attempt, after a failed
attempt, after success, and in the restart-pending look. (The close while an attempt runs, with its
stage reports and the time the process takes to go, is in test_abort; the close that follows the
launch, ClosedWithLaunch, in test_install's switch scenarios.)"""

import re
import threading
import time
import unittest
from urllib.parse import unquote

from install_support import (
    ABORT_QUESTION, DOWNLOAD_FAILED, INSTALLED, NOT_INSTALLED, PACKAGE, RESTART_LOOK,
    RESUME_SCRIPT, InstallCase, abort_detail, request_kind)
from product import DEFAULT_RESTART_QUESTION


class TestCloseRequest(InstallCase):
    def test_before_any_attempt_no_keeps_the_window_and_yes_aborts(self):
        s = self.closing_session()
        run = self.start(s)
        s.wait_requests("/wp-json/hlv/api", 1)
        w = s.main_window()

        self.click_close_glyph(s)
        box = self.wait_box(s, ABORT_QUESTION)
        self.assertBox(box, ABORT_QUESTION, "question", ["Yes", "No"], w)
        s.press("No")
        s.wait_for(lambda: not s.msgboxes(), 5, what="the question to close")
        time.sleep(0.5)
        after = s.main_window()
        self.assertTrue(after["visible"])
        self.assertEqual(after["rect"], w["rect"])
        self.assertTrue(run.app.running)
        self.assertEqual(self.kinds(s), [1], "No reports nothing")

        c = self.confirm_abort(s, run)
        last = self.assertAbortSound(s, c, 9)
        self.assertTrue(last["target"].endswith("&webinst=true&type=9"), "no extra text: " + last["target"])
        self.assertEqual(self.kinds(s), [1, 9])
        self.assertHiddenBefore(c, last)

    def test_after_a_failed_attempt_the_stage_decides_the_report(self):
        s = self.closing_session()
        with self.subTest(failed="download"):
            # The transfer ends at half the announced size, after progress was shown.
            s.set_download(PACKAGE, size=300_000, content_length=600_000, rate=200_000)
            s.set_lookup(PACKAGE.encode())
            run = self.start(s, "/i")
            box = self.wait_box(s, DOWNLOAD_FAILED, 30)
            self.assertBox(box, DOWNLOAD_FAILED, "error", ["OK"], s.main_window())
            s.press("OK")
            self.wait_attempt_over(s)
            statuses = run.statuses()
            self.assertEqual(statuses[-1], DOWNLOAD_FAILED)
            percents = [int(re.search(r"(\d+)%", t).group(1)) for t in statuses if t.startswith("Downloading")]
            self.assertTrue(percents and 30 <= percents[-1] <= 50, percents)
            started = self.report(s, 0)

            c = self.confirm_abort(s, run)
            last = self.assertAbortSound(s, c, 7)
            raw, speed, comp = abort_detail(last)
            # The last progress call may come after the last repaint: comp is at least the last
            # percentage shown and at most the half that arrived.
            self.assertTrue(percents[-1] <= comp <= 50, (comp, percents[-1]))
            self.assertRegex(raw, r"^(%20)+\d+\.\d{3}$")
            self.assertEqual(len(unquote(raw)), 10)
            self.assertAbortSpeed(run, c, started, 600_000, raw, speed, comp)

        with self.subTest(failed="package"):
            self.serve_package(s)
            before = len(s.requests())
            run = self.start(s, "/i", env={"MORVELT_FAKE_EXIT": "3", "MORVELT_FAKE_NOINSTALL": "1"})
            self.wait_attempt_over(s)
            self.assertEqual(run.statuses()[-1], NOT_INSTALLED)
            c = self.confirm_abort(s, run)
            last = self.assertAbortSound(s, c, 9)
            self.assertTrue(last["target"].endswith("&type=9"), last["target"])
            self.assertEqual([k for k in self.kinds(s, before) if k != 1], [0, "lookup", "download", 2, 4, 9])

    def test_after_success_closes_without_asking(self):
        s = self.closing_session()
        self.serve_package(s)
        run = self.start(s, "/i")
        self.wait_installed(s, 40)
        self.assertEqual(run.statuses()[-1], INSTALLED)
        package = self.package_file(s)
        self.assertTrue(package.exists())

        present = []

        def watch_the_file():
            t0 = time.monotonic()
            while package.exists() and time.monotonic() - t0 < 6:
                time.sleep(0.02)
            present.append(time.time())

        watcher = threading.Thread(target=watch_the_file)

        def close_and_watch_the_file():
            clicked = self.click_close_glyph(s)
            watcher.start()
            return clicked

        c = self.watch_close(s, run, close_and_watch_the_file)
        watcher.join()
        self.assertEqual(c.exit_code, 0)
        self.assertEqual(c.new_boxes, [], "no question after success")
        self.assertFalse(package.exists(), "the package file is deleted")
        reqs = s.requests()
        # The package file stays for the 2 s after the report, then goes.
        self.assertGreater(present[0] - reqs[-1]["t"], 1.95, "deleted 2 s after the report")
        self.assertLess(present[0] - reqs[-1]["t"], 3.0)
        self.assertEqual(request_kind(reqs[-1]), 5)
        self.assertHiddenBefore(c, reqs[-1])
        self.assertTrue(reqs[-1]["target"].endswith("&webinst=true&type=5"), reqs[-1]["target"])
        self.assertEqual(len([r for r in reqs if request_kind(r) in (5, 6, 7, 8, 9)]), 1)
        self.assertLess(c.gone_after, 4.0)

    def test_restart_pending_closes_at_once_and_keeps_the_package(self):
        s = self.closing_session()
        script = s.host_path(RESUME_SCRIPT)
        script.parent.mkdir(parents=True, exist_ok=True)
        script.write_bytes(b'start "" "C:\\Downloads\\MORVELTSetup.exe" /c\r\n')
        self.plant_package(s, s.fake("package_fake.exe").read_bytes())
        package = self.package_file(s)

        run = self.start(s)
        box = self.wait_box(s, DEFAULT_RESTART_QUESTION)
        self.assertBox(box, DEFAULT_RESTART_QUESTION, "question", ["Yes", "No"], s.main_window())
        s.press("No")
        s.wait_for(lambda: not s.msgboxes(), 5, what="the question to close")
        w, b, p = self.ui(s)
        self.assertFalse(b["enabled"])
        self.assertEqual(run.statuses()[-1], RESTART_LOOK)
        s.wait_requests("/wp-json/hlv/api", 1)

        c = self.watch_close(s, run, lambda: self.click_close_glyph(s))
        self.assertEqual(c.exit_code, 0)
        self.assertEqual(c.new_boxes, [], "no question")
        self.assertLess(c.gone_after, 1.5, "destroyed at once")
        time.sleep(0.5)
        self.assertEqual(self.kinds(s), [1], "nothing reported")
        self.assertTrue(package.exists(), "the package stays for the run after the restart")
        self.assertTrue(script.exists())


if __name__ == "__main__":
    unittest.main()
