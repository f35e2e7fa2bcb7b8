"""File-system faults around an attempt: the package file held open by another program when the
attempt wants to write, run or delete it; a temporary folder that does not exist; an all-users
Startup folder that refuses the resume script; and a resume script already there with other
switches. Each case checks what the user sees, what the server recorded and what is left on disk,
and keeps a row of the fault table."""

import os
import subprocess
import time
import unittest

import fault_table
import net_support as net
from harness import wait_outcome
from install_support import (CONNECTING, DOWNLOAD_FAILED, INSTALLED, LAUNCH_BUTTON, PBST_ERROR, InstallCase,
                             request_kind)
from restart_support import (DEFAULT_RESTART_QUESTION, QUORBIN, RESTART_LOOK, RestartLookChecks, install_previous, lock,
                             pending_deletions, script_bytes, script_path, startup_folder, tree,
                             write_file)

LOCKED = QUORBIN + "\\Vesk\\data\\cache.bin"
STALE = b"MZ stale package of an earlier run\r\n"


def listing(folder):
    return sorted(p.name for p in folder.iterdir()) if folder.exists() else None


def files_named(s, name):
    """Every file of that name anywhere on the prefix's C: drive (host paths)."""
    found = []
    for dirpath, _, filenames in os.walk(s.prefix / "drive_c"):
        found += [os.path.join(dirpath, f) for f in filenames if f.lower() == name.lower()]
    return sorted(found)


class FileFaultCase(InstallCase):
    def hold(self, s, win_path, share):
        """The locker fake holding the file with the given sharing ("r", "none", "rw")."""
        held = (s.fake_log("locker") or "").count("holding path=[%s]" % win_path)
        p, _ = s.popen(["wine", "C:\\fakes\\locker_fake.exe", win_path], env={"MORVELT_FAKE_LOCK_SHARE": share},
                       name="locker")
        s.wait_for(lambda: (s.fake_log("locker") or "").count("holding path=[%s]" % win_path) > held, 20,
                   what="the locker to hold %s" % win_path)
        return p

    def release(self, s, locker):
        stop = s.host_path("C:\\fakes\\stop_locker")
        stop.write_text("stop")
        locker.wait(15)
        stop.unlink()

    def assertWholeTransferShown(self, s, statuses, size):
        """The percentage was on screen and the server sent the whole package. "100%" itself
        stands only until the copy into place fails, a matter of milliseconds, so whether a
        paint falls inside it is chance: the server's record proves the transfer went through."""
        percents = net.percents(statuses)
        self.assertTrue(percents, statuses)
        self.assertEqual(percents, sorted(percents), "the percentage never goes back")
        done = [r for r in s.server_log() if r["kind"] == "done" and r["seq"] == s.requests("/downloads_ls/")[-1]["seq"]]
        self.assertEqual([(d["sent"], d["how"]) for d in done], [(size, "complete")])

    def wait_end(self, s, timeout=60):
        """The attempt's end: the button enabled again (failed, or the launch button)."""
        return self.wait_ui(s, lambda w, b, p: b["enabled"] and not p["marquee"], timeout, "the attempt to end")

    def abort(self, s, run):
        c = self.confirm_abort(s, run)
        self.assertEqual(c.exit_code, 0)
        self.assertLess(c.gone_after, 3.0, "gone %.2f s after Yes" % c.gone_after)
        self.assertEqual(c.new_boxes, [])
        time.sleep(0.4)
        return c

    def non_setup_kinds(self, s, since):
        return [k for k in self.kinds(s, since) if k != 1]


class TestPackageHeldOpen(FileFaultCase):
    """Another program (the user's, a scanner, a second copy of the package) has a file of the
    package's name in the user's TEMP, or the package itself, open."""

    def test_held_against_the_write_the_start_and_the_delete(self):
        s = self.closing_session()
        self.serve_package(s)
        package_bytes = s.fake("package_fake.exe").read_bytes()
        temp = self.temp_folder(s)
        temp_names = listing(temp)
        in_temp = temp / "MORVELT_PACKAGE.exe"
        in_temp_win = "C:\\" + "\\".join(in_temp.relative_to(s.prefix / "drive_c").parts)

        with self.subTest(held="a file of the package's name in TEMP, then the package at the close"):
            row = fault_table.Row(self, "a file of the package's name in the user's TEMP, held (read sharing only); "
                                        "the package held (read and write sharing) when the close deletes it")
            write_file(s, in_temp_win, STALE)
            locker = self.hold(s, in_temp_win, "r")
            before = len(s.requests())
            run = self.start(s, "/i")
            w, button, bar = self.wait_end(s)
            self.assertEqual(button["text"], LAUNCH_BUTTON, "the package goes to a folder of its own")
            self.assertEqual(run.statuses()[-1], INSTALLED)
            self.assertEqual(in_temp.read_bytes(), STALE, "the user's file is neither written nor run")
            self.assertIn("exe=[%s]" % self.package_win(s), self.package_log(s))
            package = self.package_file(s)
            self.assertEqual(package.read_bytes(), package_bytes, "the whole new package")
            held = self.hold(s, self.package_win(s), "rw")
            s.screenshot("held-against-the-delete")
            # The close after success asks nothing, reports, waits its 2 s and tries the delete.
            self.click_close_glyph(s)
            self.assertEqual(run.app.wait(15), 0)
            time.sleep(0.3)
            self.assertEqual(self.non_setup_kinds(s, before), [0, "lookup", "download", 2, 3, 5])
            self.assertEqual(package.read_bytes(), package_bytes, "the package file stays, whole")
            self.assertEqual(listing(temp), sorted(temp_names + ["MORVELT_PACKAGE.exe"]))
            row.seen("installed from the package's own folder, launch button, the TEMP file untouched; the close "
                     "asked nothing, reported ClosedAfterSuccess, exit code 0; the delete failed quietly")
            for p in (locker, held):
                self.release(s, p)
            in_temp.unlink()
            package.unlink()
            package.parent.rmdir()
            s.host_path("C:\\fakes\\log\\package.txt").unlink()
            row.lost("nothing")

        with self.subTest(held="against the start"):
            row = fault_table.Row(self, "recorded package held (no sharing) by another program after a restart")
            # The continuation after a restart must hold the package before it checks it; a file
            # that another program holds cannot be checked, so it is downloaded anew, which the
            # hold also stops.
            self.plant_package(s, package_bytes)
            package = self.package_file(s)
            locker = self.hold(s, self.package_win(s), "none")
            before = len(s.requests())
            installed = tree(s, QUORBIN)
            run = self.start(s, "/c")
            self.refused_download(s, run, "held-against-the-start")
            self.assertEqual(self.non_setup_kinds(s, before), [0, "lookup", "download"], "downloaded anew")
            self.assertEqual(self.package_log(s), "", "the package never ran")
            c = self.abort(s, run)
            self.assertEqual(request_kind(s.requests()[-1]), 7)
            row.seen("a new download, box '%s' (OK), bar in error, button back; nothing ran; "
                     "close: AbortedDuringDownload, gone %.1f s after Yes" % (DOWNLOAD_FAILED, c.gone_after))
            self.assertEqual(package.read_bytes(), package_bytes, "left as it was")
            self.assertEqual(listing(temp), temp_names, "nothing in the user's TEMP")
            self.assertEqual(tree(s, QUORBIN), installed, "the installed product untouched")
            self.release(s, locker)
            package.unlink()
            row.lost("nothing")

    def refused_download(self, s, run, shot):
        box = self.wait_box(s, DOWNLOAD_FAILED, 40)
        self.assertBox(box, DOWNLOAD_FAILED, "error", ["OK"], s.main_window())
        s.screenshot(shot)
        s.press("OK")
        w, button, bar = self.wait_end(s)
        self.assertEqual(button["text"], "Download and Install")
        self.assertFinalBar(bar, PBST_ERROR, run)
        self.assertEqual(run.statuses()[-1], DOWNLOAD_FAILED)


class TestTemporaryFolderMissing(FileFaultCase):
    """GetTempPathW answers the folder TMP (or TEMP) names without asking whether it exists, and any
    program of the user can set them: the package never goes there, so neither a missing folder
    nor one the user's programs control changes what the elevated installer starts."""

    def attempt_without_temp(self, s, row, missing_win, env=None, meanwhile=None):
        before = len(s.requests())
        run = self.start(s, "/i", env=env)
        if meanwhile:
            meanwhile()
        w, button, bar = self.wait_end(s)
        self.assertEqual(button["text"], LAUNCH_BUTTON)
        statuses = run.statuses()
        self.assertEqual(statuses[-1], INSTALLED)
        self.assertWholeTransferShown(s, statuses, s.fake("package_fake.exe").stat().st_size)
        self.assertEqual(self.non_setup_kinds(s, before), [0, "lookup", "download", 2, 3])
        started = [line for line in self.package_log(s).splitlines() if line.startswith("started ")]
        self.assertEqual(len(started), 1, "only the vendor's package ran")
        self.assertIn("exe=[%s]" % self.package_win(s), started[0])
        self.click_close_glyph(s)
        self.assertEqual(run.app.wait(15), 0)
        row.seen("installed from the package's own folder, launch button; the close deleted it")
        self.assertFalse(s.exists(missing_win), "the missing folder was not made")
        self.assertEqual([f for f in files_named(s, "MORVELT_PACKAGE.exe") if "/TempA/" not in f and "/TempB/" not in f], [],
                         "no package file anywhere but those planted")
        s.host_path("C:\\fakes\\log\\package.txt").unlink()

    def set_temp(self, s, win_folder):
        escaped = win_folder.replace("\\", "\\\\")
        s.import_reg('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Environment]\n'
                     '"TEMP"="%s"\n"TMP"="%s"\n' % (escaped, escaped), view=64)

    def test_temp_names_a_missing_folder_or_the_folder_is_gone(self):
        s = self.closing_session()
        self.serve_package(s)
        temp = self.temp_folder(s)
        temp_win = "C:\\" + "\\".join(temp.relative_to(s.prefix / "drive_c").parts)

        with self.subTest(temp="names a folder that does not exist"):
            row = fault_table.Row(self, "TEMP and TMP name a folder that does not exist")
            self.set_temp(s, "C:\\Missing")
            temp_names = listing(temp)
            self.attempt_without_temp(s, row, "C:\\Missing")
            self.assertEqual(listing(temp), temp_names, "the usual temporary folder untouched")
            row.lost("nothing")

        with self.subTest(temp="a link the user's programs re-point while the old version is removed"):
            # Programs planted under the package's name behind a link; the link is re-pointed
            # while the previous installation's uninstaller runs, after the download.
            row = fault_table.Row(self, "TEMP through a link, re-pointed after the download")
            link = s.host_path("C:\\UserTemp")
            for name in ("C:\\TempA", "C:\\TempB"):
                s.host_path(name).mkdir()
                write_file(s, name + "\\MORVELT_PACKAGE.exe", s.fake("browser_fake.exe").read_bytes())
            link.symlink_to(s.host_path("C:\\TempA"))
            self.set_temp(s, "C:\\UserTemp")
            s.host_path("C:\\fakes\\uninstaller_delay_ms").write_text("3000")

            def repoint():
                s.wait_for(lambda: "started" in (s.fake_log("uninstaller") or ""), 60, what="the uninstaller")
                link.unlink()
                link.symlink_to(s.host_path("C:\\TempB"))
            self.attempt_without_temp(s, row, "C:\\Missing", meanwhile=repoint)
            self.assertIsNone(s.fake_log("browser"), "no planted program ran")
            row.lost("nothing")

        with self.subTest(temp="the folder deleted"):
            row = fault_table.Row(self, "the temporary folder deleted")
            self.set_temp(s, temp_win)
            for entry in temp.iterdir():
                self.assertFalse(entry.is_dir(), entry)
                entry.unlink()
            temp.rmdir()
            self.attempt_without_temp(s, row, temp_win)
            row.lost("nothing")


class TestStartupFolderUnwritable(FileFaultCase):
    """The restart path with an all-users Startup folder that takes no new file, even from an
    administrator: the folder is made immutable (root is not stopped by permissions)."""

    def test_restart_path_without_a_resume_script(self):
        row = fault_table.Row(self, "all-users Startup folder refuses the resume script")
        s = self.session()
        self.serve_package(s)
        startup = s.host_path(startup_folder(s))
        startup.mkdir(parents=True, exist_ok=True)
        contents = tree(s, startup_folder(s))
        subprocess.run(["chattr", "+i", str(startup)], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", str(startup)])
        # Unwritable for root on the host and for the prefix's administrator alike.
        with self.assertRaises(PermissionError):
            (startup / "probe.txt").write_bytes(b"x")
        r = s.run(["wine", "cmd", "/c", "echo probe> \"%s\\probe.bat\"" % startup_folder(s)], timeout=60)
        self.assertFalse((startup / "probe.bat").exists(), r.stdout + r.stderr[-300:])

        install_previous(s)
        lock(s, LOCKED)
        run = self.start(s, "/i")
        box = self.wait_box(s, DEFAULT_RESTART_QUESTION, 60)
        self.assertBox(box, DEFAULT_RESTART_QUESTION, "question", ["Yes", "No"], s.main_window())
        w, button, bar = self.ui(s)
        self.assertFalse(button["enabled"])
        self.assertEqual((bar["range"], bar["pos"], bar["marquee"]), ([0, 200], 200, False))
        self.assertEqual(run.statuses()[-1], RESTART_LOOK)
        s.screenshot("restart-question")
        self.assertEqual(sorted(self.kinds(s), key=str), [0, 1, 2, "download", "lookup"], "no report for the restart")
        s.press("No")
        s.wait_for(lambda: not s.msgboxes(), 10, what="the question to go")
        # Closing in the restart-pending look asks nothing and reports nothing.
        heard = len(s.requests())
        self.post_close(s)
        self.assertEqual(run.app.wait(15), 0)
        time.sleep(1.0)
        self.assertEqual(len(s.requests()), heard)
        row.seen("restart-pending look and the usual restart question (it still promises the continuation); "
                 "No, then the close asked and reported nothing; exit code 0")
        self.assertEqual(tree(s, startup_folder(s)), contents, "no script, nothing else in the folder")
        self.assertFalse(s.exists(script_path(s)))
        self.assertEqual(pending_deletions(s), [LOCKED, QUORBIN + "\\Vesk\\data"])
        self.assertEqual(self.package_file(s).read_bytes(), s.fake("package_fake.exe").read_bytes(),
                         "the package stays for a continuation")
        row.lost("nothing")


class TestResumeScriptWithOtherSwitches(RestartLookChecks, FileFaultCase):
    """A script that an earlier cycle left, carrying "/c /l", while this run (without "/l") would
    write "/c": the script is never replaced, stays byte for byte through the restart-pending look,
    the close and the boot, and its switches decide the logon."""

    def test_the_script_present_wins_byte_for_byte(self):
        row = fault_table.Row(self, "resume script already present with other switches (/c /l)")
        s = self.session()
        self.serve_package(s)
        earlier = script_bytes(b"C:\\Downloads\\MORVELTSetup.exe", b"/c /l")
        write_file(s, "C:\\fakes\\uninstaller_delay_ms", "4000")
        install_previous(s)
        locker = lock(s, LOCKED)
        run = self.start(s, "/i")
        # The script appears while the uninstaller runs, after start-up has looked for it.
        s.wait_for(lambda: "sleeping" in (s.fake_log("uninstaller") or ""), 40, what="the uninstaller")
        write_file(s, script_path(s), earlier)
        box = self.wait_box(s, DEFAULT_RESTART_QUESTION, 60)
        self.assertEqual(wait_outcome(s)[0], "question")
        self.assertBox(box, DEFAULT_RESTART_QUESTION, "question", ["Yes", "No"], s.main_window())
        self.assertEqual(run.statuses()[-1], RESTART_LOOK)
        self.assertEqual(s.read_file(script_path(s), binary=True), earlier, "not replaced, not appended to")
        self.assertRestartLook(s, run.app.stdout_path, "earlier-script")
        s.press("No")
        s.wait_for(lambda: not s.msgboxes(), 10, what="the question to go")
        self.post_close(s)
        self.assertEqual(run.app.wait(15), 0)
        self.assertEqual(s.read_file(script_path(s), binary=True), earlier)
        self.assertTrue(self.package_file(s).exists(), "kept for the continuation")

        # The restart: the locked file's holder is gone and the boot carries out the deletions.
        locker_done = self.release_lock(s, locker)
        s.run(["wineboot"], timeout=120)
        self.assertEqual(pending_deletions(s), [])
        self.assertEqual(tree(s, QUORBIN), {"Vesk": None})
        self.assertEqual(s.read_file(script_path(s), binary=True), earlier, "the script waits for the logon")

        # The logon: the script's own "/l" launches and closes without a click.
        before = len(s.requests())
        r = s.run(["wine", "cmd", "/c", script_path(s)], timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr[-500:])
        s.wait_for(lambda: [x for x in s.requests()[before:] if request_kind(x) == 6], 90,
                   what="the resumed run to close with the launch")
        s.wait_no_window(timeout=20)
        kinds = self.kinds(s, before)
        self.assertEqual(sorted(k for k in kinds if isinstance(k, int)), [0, 1, 3, 6], kinds)
        self.assertEqual(kinds.count("lookup"), 1)
        self.assertNotIn("download", kinds, "the package in place was used")
        row.seen("restart question; the script kept its /c /l bytes; at logon it resumed with the package in "
                 "place, installed, and closed with ClosedWithLaunch by itself")
        self.assertFalse(s.exists(script_path(s)), "the resumed run deleted the script")
        self.assertFalse(self.package_file(s).exists(), "deleted after the launch close")
        self.assertTrue(s.exists(QUORBIN + "\\Vantrelisk\\MORVELT.exe"), "installed")
        self.assertTrue(locker_done)
        row.lost("nothing")

    def release_lock(self, s, locker):
        self.release(s, locker)
        return "released reason=stop_file" in (s.fake_log("locker") or "")


if __name__ == "__main__":
    unittest.main()
