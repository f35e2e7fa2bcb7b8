"""The restart continuation: a previous installation that leaves a locked file behind leads to the
restart-pending look, the resume script and the restart question; the restart itself (the
program's own ExitWindowsEx ends the prefix's Wine session), the boot that carries out the
scheduled deletions, and the logon played by running the script, after which the installer
resumes by itself with the package it had already downloaded.

Wine runs nothing from the Startup folders when it boots, so the logon is played with
"wine cmd /c <script>", the way the command processor runs the script at a real logon."""

import shutil
import time
import unittest

from harness import INSTALLER_WIN_PATH, MAIN_CLASS, ScenarioCase, Session, installer_path, wait_outcome
from install_support import package_file
from restart_support import (DEFAULT_RESTART_QUESTION, end_what_the_restart_left, QUORBIN, RESTART_LOOK, TRACE,
                             RestartLookChecks, answer, close_window, install_previous, lock, pending_deletions,
                             post_install_command, report_types, script_bytes, script_path, serve_package,
                             start_restricted, status_texts, tree, windows_processes,
                             write_file)

LOCKED = QUORBIN + "\\Vesk\\data\\cache.bin"
INSTALLER_ANSI = INSTALLER_WIN_PATH.encode("ascii")


class RestartCase(RestartLookChecks, ScenarioCase):
    ATTEMPT_TRACE = TRACE

    def prepare(self, s):
        serve_package(s)

    def reach_restart_path(self, s, *args, env=None, installer=None):
        """A previous installation with a locked file, and an attempt that meets it. Returns the
        installer process (or its output path when started from another place) and the question."""
        install_previous(s)
        lock(s, LOCKED)
        if installer:
            knobs = {"WINEDEBUG": TRACE}
            knobs.update(env or {})
            p, out = s.popen(["wine", installer] + list(args), env=knobs, name="installer")
            outcome, w = wait_outcome(s)
        else:
            app, outcome, w = self.run_attempt(s, *args, env=env)
            p, out = app.popen, app.stdout_path
        self.assertEqual(outcome, "question")
        return p, out, s.wait_msgbox()

    def package_file(self, s):
        """The package's Windows path, in its run's own folder."""
        return "C:\\" + "\\".join(package_file(s).relative_to(s.prefix / "drive_c").parts)


class TestRestartPath(RestartCase):
    def test_locked_file_leads_to_the_look_the_script_and_the_question(self):
        s = self.session()
        p, out, box = self.reach_restart_path(s, "/i")
        self.assertQuestion(box, DEFAULT_RESTART_QUESTION)
        w = self.assertRestartLook(s, out, "restart-look")

        # Everything else went; the locked file and the folders it lies in wait for the restart,
        # the file before its folder.
        self.assertEqual(tree(s, QUORBIN), {"Vesk": None, "Vesk\\data": None, "Vesk\\data\\cache.bin":
                                            b"[user]\r\nwritten-by=package_fake\r\n"})
        self.assertEqual(pending_deletions(s), [LOCKED, QUORBIN + "\\Vesk\\data"])
        self.assertEqual(s.read_file(script_path(s), binary=True), script_bytes(INSTALLER_ANSI, b"/c"))
        self.assertIsNone(s.fake_log("package"), "the package waits for the restart")
        self.assertEqual(sorted(report_types(s)), [0, 1, 2], "no report for the restart")

        # No keeps the look; the install command does nothing.
        answer(s, "No", w)
        self.assertEqual(s.msgboxes(), [])
        post_install_command(s, w)
        time.sleep(1.0)
        self.assertEqual(len(s.requests("/index.php")), 1, "no second attempt")
        self.assertRestartLook(s, out, "after-no")
        self.assertClosesQuietly(s, p, w)
        self.assertTrue(s.exists(self.package_file(s)), "the package stays for the continuation")
        self.assertTrue(s.exists(script_path(s)))

    def test_the_whole_cycle_resumes_with_the_package_it_has(self):
        s = self.session(desktop=True)
        p, out, box = self.reach_restart_path(s, "/i", "/l")
        self.assertQuestion(box, DEFAULT_RESTART_QUESTION)
        self.assertEqual(s.read_file(script_path(s), binary=True), script_bytes(INSTALLER_ANSI, b"/c /l"))
        self.assertEqual(pending_deletions(s), [LOCKED, QUORBIN + "\\Vesk\\data"])
        package_win = self.package_file(s)
        package = s.read_file(package_win, binary=True)

        # Yes: the installer's own restart ends every program of the prefix.
        s.press("Yes")
        s.wait_for(lambda: p.poll() is not None, 20, what="the restart to end the installer")
        s.wait_for(lambda: not [c for c in windows_processes(s) if "MORVELTSetup" in c or "locker_fake" in c],
                   20, what="the restart to end the installer and the locker")
        end_what_the_restart_left(s)
        s.wait_for(lambda: not [c for c in windows_processes(s) if "MORVELTSetup" in c or "locker_fake" in c
                                or "explorer.exe" in c], 20, what="the session's programs to end")
        self.assertNotIn("released", s.fake_log("locker"), "the locker was ended, it did not let go")

        # The next boot has carried out the scheduled deletions.
        s.run(["wineboot"], timeout=120)
        self.assertEqual(pending_deletions(s), [])
        self.assertEqual(tree(s, QUORBIN), {"Vesk": None})
        self.assertTrue(s.exists(script_path(s)), "the script waits for the logon")

        # The logon: the desktop shell comes up, then the command processor runs the script, which
        # starts the installer and exits.
        s.wait_desktop_shell()
        before = len(s.requests())
        r = s.run(["wine", "cmd", "/c", script_path(s)], timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr[-500:])
        s.wait_for(lambda: [x for x in s.requests()[before:] if x["target"].endswith("&type=6")], 60,
                   what="the resumed run to close with the launch")
        resumed = s.requests()[before:]
        targets = [x["target"] for x in resumed]
        types = [int(t.split("type=")[1].split("&")[0]) for t in targets if t.startswith("/wp-json/")]
        self.assertEqual(sorted(types), [0, 1, 3, 6], targets)
        self.assertEqual(len([t for t in targets if t.startswith("/index.php")]), 1, "the lookup runs again")
        self.assertFalse([t for t in targets if t.startswith("/downloads_ls/")], "nothing downloaded")
        self.assertFalse(s.exists(script_path(s)), "the continuation deleted the script")
        started = [line for line in s.fake_log("package").splitlines() if line.startswith("started ")]
        self.assertEqual(len(started), 1)
        self.assertIn("started cmdline=[ /S] ", started[0])
        self.assertIn(" exe=[%s] " % package_win, started[0])
        self.assertEqual(len(package), len(s.read_file("C:\\fakes\\package_fake.exe", binary=True)))
        self.assertTrue(s.exists(QUORBIN + "\\Vantrelisk\\MORVELT.exe"), "installed again")
        self.assertIn("parent_exe=[explorer.exe]", s.fake_log("product") or "", "launched through the shell")
        s.wait_no_window(MAIN_CLASS, timeout=20)
        self.assertFalse(s.exists(package_win.rsplit("\\", 1)[0]), "the package and its folder go after the launch close")


class TestRestartPendingStart(RestartCase):
    def test_a_start_without_c_while_the_script_exists(self):
        s = self.session()
        present = script_bytes(b"C:\\Somewhere\\MORVELTSetup.exe", b"/c /l")
        write_file(s, script_path(s), present)
        app = s.start_installer("/i", "/l", env={"WINEDEBUG": TRACE})
        self.assertQuestion(s.wait_msgbox(20), DEFAULT_RESTART_QUESTION)
        w = self.assertRestartLook(s, app.stdout_path, "pending-start")
        answer(s, "No", w)
        post_install_command(s, w)
        time.sleep(1.5)
        # "/i" and "/l" are ignored: no attempt, only the start-up report.
        self.assertEqual(report_types(s), [1])
        self.assertEqual(s.requests("/index.php"), [])
        self.assertClosesQuietly(s, app.popen, w)
        self.assertEqual(s.read_file(script_path(s), binary=True), present, "the script is left in place")

    def test_without_the_shutdown_privilege_no_question(self):
        s = self.session()
        write_file(s, script_path(s), script_bytes(INSTALLER_ANSI, b"/c"))
        shutil.copy2(installer_path(), s.host_path(INSTALLER_WIN_PATH))
        p, out = start_restricted(s, INSTALLER_WIN_PATH, env={"WINEDEBUG": TRACE})
        w = s.main_window()
        s.wait_for(lambda: status_texts(out)[-1:] == [RESTART_LOOK], 10, what="the restart-pending look")
        time.sleep(2.0)
        self.assertEqual(s.msgboxes(), [], "no question without the privilege")
        self.assertRestartLook(s, out, "no-privilege")
        close_window(s, w)
        s.wait_no_window()
        # The same start keeping the privilege asks: so the missing privilege made the difference.
        p, out = start_restricted(s, INSTALLER_WIN_PATH, keep=True, env={"WINEDEBUG": TRACE})
        self.assertQuestion(s.wait_msgbox(20), DEFAULT_RESTART_QUESTION)


class TestScriptPath(RestartCase):
    """The command processor reads the script in the OEM code page (437 in this prefix, ANSI 1252):
    a path it would read back wrong is written in its short form, which Wine makes as well."""

    def test_a_path_the_command_processor_would_misread(self):
        for folder in ("C:\\Dl \u00fc", "C:\\Dl \u2603"):
            with self.subTest(folder=folder):
                with Session("%s-%d" % (self.id(), ord(folder[-1]))) as s:
                    serve_package(s)
                    host = s.host_path("C:\\") / folder[3:]
                    host.mkdir()
                    shutil.copy2(installer_path(), host / "MORVELTSetup.exe")
                    p, out, box = self.reach_restart_path(s, "/i", installer=folder + "\\MORVELTSetup.exe")
                    data = s.read_file(script_path(s), binary=True)
                    self.assertTrue(data.startswith(b'start "MORVELT" "C:\\') and data.endswith(b'" /c\r\nexit\r\n'))
                    written = data[len(b'start "MORVELT" "'):-len(b'" /c\r\nexit\r\n')]
                    self.assertTrue(all(b < 0x80 for b in written), written)
                    self.assertIn(b"~", written, "the short form")
                    s.press("No")
                    close_window(s, s.main_window())
                    s.wait_for(lambda: p.poll() is not None, 15, what="the installer to end")
                    # The logon starts the installer through that path: it resumes.
                    r = s.run(["wine", "cmd", "/c", script_path(s)], timeout=60)
                    self.assertNotIn("not found", r.stdout + r.stderr)
                    s.wait_for(lambda: not s.exists(script_path(s)), 20, what="the resumed installer")
                    resumed = [c for c in windows_processes(s) if "MORV" in c]
                    self.assertTrue(resumed and resumed[0].startswith(written.decode("ascii")), resumed)
                    outcome, w = wait_outcome(s)
                    self.assertEqual(outcome, "installed")


if __name__ == "__main__":
    unittest.main()
