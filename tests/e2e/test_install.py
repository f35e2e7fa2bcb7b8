"""A whole install attempt as the user and the vendor server see it: the clicked install, a failing
package and the next attempt, the package's own setup window, a running product, and the switches
that run an attempt by themselves."""

import re
import time
import unittest

from install_support import (
    CLOSE_PRODUCT, CONNECTING, DOWNLOAD_FAILED, INSTALL_BUTTON, INSTALLED, INSTALLING, NOT_INSTALLED,
    PACKAGE, PBST_ERROR, PBST_NORMAL, PRODUCT_DIR, PRODUCT_EXE, RESTART_LOOK, RESUME_SCRIPT,
    SUCCESS_RESTART_QUESTION, WM_APP, InstallCase, compress_downloads, field, request_kind, with_brief)
from install_support import bar_end_colour, filled
from product import PACKAGE_PATH, UUID
from restart_support import RestartLookChecks, answer, pending_deletions, script_path


def bar_colour(shot, window, bar):
    """The colour in the middle of the progress bar on the screen."""
    left, top = window["rect"][:2]
    r = bar["rect"]
    return shot.pixel(left + (r[0] + r[2]) // 2, top + (r[1] + r[3]) // 2)


def bluish(c):
    return c[2] > c[0] + 60 and c[2] > 150


class TestCleanInstall(InstallCase):
    def test_clicked_install_runs_to_the_installed_state(self):
        s = self.session()
        self.serve_package(s, rate=150_000)  # about 2 s for the 276 KB package: progress is seen
        run = self.start(s, env={"MORVELT_FAKE_DELAY_MS": "2500"})
        s.wait_requests("/wp-json/hlv/api", 1)
        self.click_install(s)

        w, b, p = self.wait_ui(s, lambda w, b, p: not b["enabled"], 5, "the button disabled")
        self.assertTrue(p["marquee"], "the bar runs as a marquee while the attempt starts")
        self.assertEqual(b["text"], INSTALL_BUTTON)

        s.wait_for(lambda: INSTALLING in run.statuses(), 30, what="the package to run")
        w, b, p = self.ui(s)
        self.assertFalse(b["enabled"], "no second attempt while the package runs")
        self.assertTrue(w["visible"])
        time.sleep(0.3)
        s.screenshot("installing", settle=False)  # the marquee moves, so two shots never agree

        w, b, p = self.wait_installed(s, 30)
        self.assertTrue(b["enabled"])
        self.assertFinalBar(p, PBST_NORMAL, run)
        self.assertTrue(w["visible"])
        shot = s.screenshot("installed")
        self.assertTrue(bluish(bar_colour(shot, w, p)), "a full bar in the normal colour: %s" % (bar_colour(shot, w, p),))
        self.assertTrue(filled(bar_end_colour(shot, w, p)))
        self.assertTrue(run.app.running, "the window waits for the user")

        statuses = run.statuses()
        self.assertEqual(compress_downloads(statuses), [CONNECTING, "Downloading", INSTALLING, INSTALLED], statuses)
        percents = [int(re.search(r"(\d+)%", t).group(1)) for t in statuses if t.startswith("Downloading")]
        self.assertEqual(percents, sorted(percents), "the percentage only grows")
        self.assertGreater(len(percents), 5, "the progress was shown along the way")

        reqs = s.requests()
        self.assertEqual([request_kind(r) for r in reqs], [1, 0, "lookup", "download", 2, 3],
                         [r["raw"] for r in reqs])
        self.assertEqual(field(reqs[0], "r"), "41", "SetupStarted has its own thread and sequence")
        self.assertWorkerNumbers(reqs)
        sessions = {field(r, "session") for r in reqs if request_kind(r) in (0, 1, 2, 3)}
        self.assertEqual(len(sessions), 1, sessions)
        self.assertRegex(sessions.pop(), UUID)
        self.assertEqual(reqs[3]["target"], "/downloads_ls/" + PACKAGE)
        self.assertEqual(reqs[3]["host"], "127.0.0.1")
        self.assertTrue(reqs[5]["target"].endswith("&webinst=true&type=3"), "no extra text: %s" % reqs[5]["target"])
        self.assertSpeedFits(reqs[1], reqs[4], s.fake("package_fake.exe").stat().st_size)

        log = self.package_log(s)
        first = log.splitlines()[0]
        self.assertIn("started cmdline=[ /S] ", first, "the package's whole command line is \" /S\"")
        # Kept in the run's own folder, not the user's TEMP, and started there, not in the
        # Downloads folder the installer was started in.
        m = re.search(r"cwd=\[(.*?)\] exe=\[(.*?)\]", first)
        self.assertRegex(m.group(2), PACKAGE_PATH)
        self.assertEqual(m.group(1).lower(), m.group(2).lower().rsplit("\\", 1)[0])
        self.assertIn("parent_exe=[MORVELTSetup.exe]", first)
        self.assertIn("exit code=0", log)
        self.assertTrue(s.exists(PRODUCT_EXE))
        self.assertEqual(s.reg_query("HKLM\\SOFTWARE\\Halvaren\\Quorbin Vantrelisk")[""][1], PRODUCT_DIR)


class TestPackageWindow(RestartLookChecks, InstallCase):
    def test_seen_setup_window_then_exit_0_asks_for_a_restart(self):
        """The package's own setup window seen, then exit code 0: the restart question, the
        restart-pending look, no resume script (nothing to continue), and a quiet close that keeps
        the package file and schedules nothing. "/l" launches nothing while a restart is pending."""
        s = self.session()
        self.serve_package(s)
        # Created hidden: only the installer's raising can show it.
        run = self.start(s, "/i", "/l", env={"MORVELT_FAKE_WINDOW": "hidden", "MORVELT_FAKE_DELAY_MS": "1500"})
        box = self.wait_box(s, SUCCESS_RESTART_QUESTION, 30)
        w, b, p = self.ui(s)
        self.assertBox(box, SUCCESS_RESTART_QUESTION, "question", ["Yes", "No"], w)
        log = self.package_log(s)
        self.assertIn("window created", log)
        created = log.index("window created")
        self.assertIn("window shown", log[created:], "the installer showed the package's window")
        self.assertIn("window activated", log[created:], "and brought it to the front")
        self.assertIn("exit code=0", log)
        self.assertRestartLook(s, run.app.stdout_path, "setup-window")
        self.assertFalse(s.exists(script_path(s)), "nothing to continue after this restart")
        s.screenshot("restart-question")
        answer(s, "No", w)
        s.wait_for(lambda: not s.msgboxes(), 5, what="the question to close")

        time.sleep(0.5)  # room for a final reset that must not come
        w, b, p = self.ui(s)
        self.assertFalse(b["enabled"], "the restart-pending look keeps the button disabled")
        self.assertEqual(b["text"], INSTALL_BUTTON)
        self.assertFinalBar(p, PBST_ERROR, run)
        self.assertEqual(run.statuses()[-1], RESTART_LOOK)
        self.assertNotIn(INSTALLED, run.statuses())
        self.assertFalse(s.exists(RESUME_SCRIPT), "an install that only needs a restart writes no resume script")
        self.assertEqual([request_kind(r) for r in s.requests() if request_kind(r) != 1],
                         [0, "lookup", "download", 2, 3])
        shot = s.screenshot("restart-look")
        self.assertTrue(filled(bar_end_colour(shot, w, p)), "the bar drawn full")
        self.assertTrue(run.app.running)
        self.assertRestartLook(s, run.app.stdout_path, "setup-window-after-no")
        self.assertClosesQuietly(s, run.app.popen, w)
        self.assertTrue(self.package_file(s).exists(), "the package file stays")
        self.assertEqual(pending_deletions(s), [])

    def test_seen_setup_window_then_failure_skips_the_final_reset(self):
        s = self.session()
        self.serve_package(s)
        run = self.start(s, "/i", env={"MORVELT_FAKE_WINDOW": "minimized", "MORVELT_FAKE_DELAY_MS": "1500",
                                       "MORVELT_FAKE_EXIT": "5"})
        s.wait_for(lambda: [r for r in s.requests() if request_kind(r) == 4], 30, what="InstallFailed")
        failed = [r for r in s.requests() if request_kind(r) == 4][0]
        self.assertTrue(failed["target"].endswith("&type=4&code=5"), failed["target"])
        s.wait_for(lambda: NOT_INSTALLED in run.statuses(), 5, what="the failure text")
        time.sleep(1.0)  # room for a final reset that must not come
        w, b, p = self.ui(s)
        self.assertFalse(b["enabled"], "button stays disabled")
        self.assertTrue(p["marquee"], "bar keeps its marquee")
        self.assertEqual(s.msgboxes(), [], "no restart question after a failure")
        log = self.package_log(s)
        self.assertIn("window restored", log[log.index("window created"):], "the minimised window was restored")
        self.assertEqual(run.statuses()[-1], NOT_INSTALLED)
        s.screenshot("failed-after-window")


class TestRunningProduct(InstallCase):
    def test_click_while_the_product_runs_starts_nothing(self):
        s = self.session()
        self.serve_package(s)
        # Its mutex cannot even be opened here; it exists, so the product runs.
        self.start_product(s, denied=True)
        self.assertIn("denied=1", s.fake_log("product"))
        run = self.start(s)
        s.wait_requests("/wp-json/hlv/api", 1)
        self.click_install(s)
        box = self.wait_box(s, CLOSE_PRODUCT)
        self.assertBox(box, CLOSE_PRODUCT, "error", ["OK"], s.main_window())
        s.screenshot("close-product-first")
        s.press("OK")
        s.wait_for(lambda: not s.msgboxes(), 5, what="the box to close")
        time.sleep(1.0)
        w, b, p = self.ui(s)
        self.assertTrue(b["enabled"])
        self.assertEqual(b["text"], INSTALL_BUTTON)
        self.assertFalse(p["marquee"])
        self.assertEqual(p["pos"], 0)
        self.assertEqual(self.kinds(s), [1], "no attempt started")
        self.assertEqual(run.statuses(), [], "the welcome texts stay")
        self.assertEqual(self.package_log(s), "")

    def test_automatic_attempt_waits_for_the_product(self):
        s = self.session()
        self.serve_package(s)
        # A previous installation, whose product is the one running.
        s.run(["wine", "C:\\fakes\\package_fake.exe", "--install-only"], timeout=60)
        s.host_path("C:\\fakes\\log\\package.txt").unlink()
        self.start_product_at(s)

        with self.subTest(answer="Cancel"):
            run = self.start(s, "/i")
            box = self.wait_box(s, CLOSE_PRODUCT, 30)
            self.assertBox(box, CLOSE_PRODUCT, "error", ["OK", "Cancel"], s.main_window())
            # SetupStarted may arrive anywhere among the attempt's requests: it has a thread of its own.
            self.assertEqual([k for k in self.kinds(s) if k != 1][-3:], ["lookup", "download", 2],
                             "asked once the package is in")
            s.press("Cancel")
            w, b, p = self.wait_attempt_over(s)
            self.assertFinalBar(p, PBST_ERROR, run)
            # "Installing MORVELT..." stands only while the failure report goes out.
            shown = compress_downloads(run.statuses())
            self.assertIn(shown, with_brief([CONNECTING, "Downloading", INSTALLING, NOT_INSTALLED]), run.statuses())
            failed = s.requests()[-1]
            self.assertTrue(failed["target"].endswith("&type=4&code=10"), failed["target"])
            self.assertEqual(self.package_log(s), "", "the package did not run")
            self.assertIsNone(s.fake_log("uninstaller"), "the previous installation was left alone")
            self.assertTrue(s.exists(PRODUCT_EXE))
            run.app.kill()
            s.wait_no_window()

        with self.subTest(answer="OK, OK after the product closed"):
            before = len(s.requests())
            run = self.start(s, "/i")
            first = self.wait_box(s, CLOSE_PRODUCT, 30)
            s.press("OK")
            again = s.wait_for(lambda: [b for b in s.msgboxes() if b["text"] == CLOSE_PRODUCT and
                                        b["hwnd"] != first["hwnd"]], 10, what="the prompt again")[0]
            self.assertEqual([x["text"] for x in again["buttons"]], ["OK", "Cancel"])
            self.assertNotIn(4, self.kinds(s, before))
            self.stop_product(s)
            s.press("OK")
            w, b, p = self.wait_installed(s, 40)
            self.assertFinalBar(p, PBST_NORMAL, run)
            self.assertEqual([k for k in self.kinds(s, before) if k != 1], [0, "lookup", "download", 2, 3])
            self.assertIn("started cmdline=[ /S]", self.package_log(s))
            self.assertIn("Uninstalling previous version of MORVELT...", run.statuses())

    def start_product_at(self, s):
        s.popen(["wine", PRODUCT_EXE, "--hold", "60000"], name="product")
        s.wait_for(lambda: "mutex name=MORVELT" in (s.fake_log("product") or ""), 20, what="the product's mutex")


class TestSwitches(InstallCase):
    def test_install_switch_runs_the_attempt_and_waits(self):
        s = self.session()
        self.serve_package(s)
        run = self.start(s, "/i", env={"MORVELT_FAKE_DELAY_MS": "500"})
        w, b, p = self.wait_installed(s, 40)
        self.assertTrue(b["enabled"])
        time.sleep(1.0)
        self.assertTrue(run.app.running, "without /l the window waits for the user")
        self.assertWorkerSequence(s, [0, "lookup", "download", 2, 3])
        self.assertEqual(compress_downloads(run.statuses()), [CONNECTING, "Downloading", INSTALLING, INSTALLED])

    def test_launch_switch_closes_after_the_clicked_install(self):
        s = self.session()
        self.serve_package(s)
        run = self.start(s, "/l")
        self.wait_kind(s, 1, timeout=15)
        time.sleep(1.0)  # room for an attempt that must not start
        self.assertEqual(self.kinds(s), [1], "/l alone starts nothing")
        # Any program can post the window's private message: made-up values must free nothing.
        hwnd = s.main_window()["hwnd"]
        for value in (0x12345678, 1, hwnd):
            s.driver("post", hwnd, WM_APP + 1, 0, value)
        self.click_install(s)
        self.assertEqual(run.app.wait(60), 0)
        self.assertEqual(self.kinds(s), [1, 0, "lookup", "download", 2, 3, 6])

    def test_continue_switch_reuses_the_package_in_the_temp_folder(self):
        s = self.session()
        self.plant_package(s, s.fake("package_fake.exe").read_bytes())
        s.set_lookup(PACKAGE.encode(), delay=0.4)
        # No download is served: the package must come from the temporary folder.
        run = self.start(s, "/c", env={"MORVELT_FAKE_DELAY_MS": "500"})
        w, b, p = self.wait_installed(s, 40)
        self.assertWorkerSequence(s, [0, "lookup", 3])  # the lookup still runs; no download, no DownloadFinished
        self.assertIn("started cmdline=[ /S]", self.package_log(s))
        self.assertEqual(compress_downloads(run.statuses()), [CONNECTING, INSTALLING, INSTALLED])
        self.assertIsNone(self.package_record(s), "the record is used once")

    def test_continue_switch_downloads_anew_a_package_it_did_not_record(self):
        # Another program of the user put its own file under the package's name: with "/c" the
        # installer (elevated) must not run it, but download the package as without "/c".
        s = self.session()
        planted = b"MZ" + b"\0" * 4094
        self.plant_package(s, planted, recorded_as=s.fake("package_fake.exe").read_bytes())
        self.serve_package(s)
        run = self.start(s, "/c", env={"MORVELT_FAKE_DELAY_MS": "500"})
        self.wait_installed(s, 60)
        self.assertWorkerSequence(s, [0, "lookup", "download", 2, 3])
        self.assertIn("started cmdline=[ /S]", self.package_log(s))
        self.assertEqual(self.package_file(s).read_bytes(), s.fake("package_fake.exe").read_bytes())
        self.assertIsNone(self.package_record(s), "the record is used once")

    def test_continue_switch_still_ends_on_a_failed_lookup(self):
        s = self.session()
        s.set_lookup(b"x" * 3000, delay=0.4)  # a body beyond the lookup's budget fails it
        self.plant_package(s, s.fake("package_fake.exe").read_bytes())
        run = self.start(s, "/c")
        box = self.wait_box(s, DOWNLOAD_FAILED, 30)
        self.assertBox(box, DOWNLOAD_FAILED, "error", ["OK"], s.main_window())
        s.press("OK")
        w, b, p = self.wait_attempt_over(s)
        self.assertFinalBar(p, PBST_ERROR, run)
        self.assertEqual(run.statuses(), [CONNECTING, NOT_INSTALLED])
        self.assertEqual([k for k in self.kinds(s) if k != 1], [0, "lookup"])
        self.assertEqual(self.package_log(s), "")
        self.assertIsNone(self.package_record(s), "the record is used once, also by a failed lookup")


if __name__ == "__main__":
    unittest.main()
