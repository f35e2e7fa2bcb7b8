"""Removal of a previous installation before the package runs: the old uninstaller with " /S",
then the five component folders and the three uninstaller files, and nothing else on the disk;
the cases that leave an installation alone; links that lead out of the installation."""

import os
import re
import shutil
import unittest

from harness import INSTALLER_WIN_PATH, ScenarioCase, click_install, installer_path, wait_outcome
from product import DOWNLOAD_FAILED, PACKAGE
from restart_support import (COMPONENTS, close_window, DEFAULT_RESTART_QUESTION, PRODUCT_KEY, QUORBIN, TRACE, UNINSTALLERS,
                             UNINSTALLING, cmd_script, install_previous, pending_deletions, registered_value,
                             report_types, script_path, serve_package, status_line_pixels, status_texts, tree,
                             write_file)

OTHER = "C:\\Program Files (x86)\\Other"
DECOY = "C:\\Decoy"
UNINSTALLER_RUN_MS = 15000  # room for a look and a screenshot on a loaded, emulated machine


def at(line):
    """The UTC time of a fake's log line, in seconds."""
    m = re.search(r"at=\d{4}-\d\d-\d\dT(\d\d):(\d\d):(\d\d)\.(\d{3})Z", line)
    h, mi, sec, ms = (int(g) for g in m.groups())
    return h * 3600 + mi * 60 + sec + ms / 1000


def lines(log, event):
    return [line for line in (log or "").splitlines() if line.startswith(event + " ")]


class RemovalCase(ScenarioCase):
    ATTEMPT_TRACE = TRACE

    def prepare(self, s):
        serve_package(s)

    def assertNoRestartPath(self, s):
        self.assertFalse(s.exists(script_path(s)), "no resume script")
        self.assertEqual(pending_deletions(s), [], "nothing left for a restart")
        self.assertEqual(s.msgboxes(), [])


class TestRemoval(RemovalCase):
    def lay_decoys(self, s):
        """Things beside the installation that the removal must not touch."""
        decoys = {
            QUORBIN + "\\Keep\\notes.txt": b"keep me",
            QUORBIN + "\\Keep\\sub\\deep.txt": b"keep me too",
            QUORBIN + "\\Pellam.txt": b"named like a component",
            QUORBIN + "\\Vesk.bak\\old.dat": b"a folder named almost like one",
            QUORBIN + "\\Uninstall Other.exe": b"not one of the three",
            OTHER + "\\Vesk": b"a file named Vesk elsewhere",
            OTHER + "\\Pellam\\x.txt": b"a folder named Pellam elsewhere",
            DECOY + "\\shared.dat": b"linked into Ostrel by a hard link",
        }
        for path, data in decoys.items():
            write_file(s, path, data)
        # A second name inside a component folder for a file that lives outside it.
        os.link(s.host_path(DECOY + "\\shared.dat"), s.host_path(QUORBIN + "\\Ostrel\\shared.dat"))
        return decoys

    def test_uninstaller_runs_then_components_and_uninstallers_go_and_nothing_else(self):
        s = self.session()
        install_previous(s)
        # Remains that the uninstaller leaves behind, deep in the component folders.
        write_file(s, QUORBIN + "\\Pellam\\old.txt", b"left by the uninstaller")
        write_file(s, QUORBIN + "\\Vesk\\data\\deeper\\old.idx", b"left by the uninstaller")
        decoys = self.lay_decoys(s)
        other_before = tree(s, OTHER)
        write_file(s, "C:\\fakes\\uninstaller_delay_ms", str(UNINSTALLER_RUN_MS))

        app = s.start_installer("/i", env={"WINEDEBUG": TRACE, "MORVELT_FAKE_NOINSTALL": "1"})
        s.wait_for(lambda: lines(s.fake_log("uninstaller"), "sleeping"), 30, what="the uninstaller to run")
        # While the uninstaller runs the status line says so.
        s.wait_for(lambda: status_texts(app.stdout_path)[-1:] == [UNINSTALLING], 3,
                   what="the status line to be painted")
        w = s.main_window()
        shot = s.screenshot("uninstalling")
        self.assertFalse(lines(s.fake_log("uninstaller"), "done"), "the shot was taken while it ran")
        ink = status_line_pixels(shot, w)
        self.assertGreater(len(ink), 200, "black text on the status line")
        xs = [x for x, _ in ink]
        self.assertAlmostEqual((min(xs) + max(xs)) / 2, 250, delta=3, msg="centred")
        self.assertFalse(s.control(w, cls="Button")["enabled"])
        self.assertIsNone(s.fake_log("package"), "the package waits for the removal")

        outcome, w = wait_outcome(s)
        self.assertEqual(outcome, "installed")
        log = s.fake_log("uninstaller")
        started = lines(log, "started")
        self.assertEqual(len(started), 1, "one uninstaller run: %s" % log)
        self.assertIn("started cmdline=[ /S] ", started[0])
        self.assertIn("exe=[%s\\Uninstall MORVELT.exe]" % QUORBIN, started[0])
        self.assertIn("parent_exe=[MORVELTSetup.exe]", started[0])

        # The component folders and the three uninstallers are gone; the rest is as it was.
        quorbin = tree(s, QUORBIN)
        for name in COMPONENTS + UNINSTALLERS:
            self.assertNotIn(name, quorbin)
        expected = {p[len(QUORBIN) + 1:]: d for p, d in decoys.items() if p.startswith(QUORBIN)}
        expected.update({"Keep": None, "Keep\\sub": None, "Vesk.bak": None})
        self.assertEqual(quorbin, expected)
        self.assertEqual(tree(s, OTHER), other_before)
        self.assertEqual(s.read_file(DECOY + "\\shared.dat", binary=True), decoys[DECOY + "\\shared.dat"])
        self.assertIsNone(registered_value(s), "the uninstaller took the registry value away")

        # The package ran with " /S" once the removal was done: the installer waits a second
        # after the uninstaller has exited.
        package = lines(s.fake_log("package"), "started")
        self.assertEqual(len(package), 1)
        self.assertIn("started cmdline=[ /S] ", package[0])
        gap = at(package[0]) - at(lines(log, "done")[0])
        self.assertGreaterEqual(gap, 1.0, "the package started %.3f s after the uninstaller finished" % gap)
        self.assertEqual(status_texts(app.stdout_path)[-3:],
                         [UNINSTALLING, "Installing MORVELT...", "MORVELT successfully installed..."])
        self.assertNoRestartPath(s)
        self.assertEqual(sorted(report_types(s)), [0, 1, 2, 3])

    def test_package_installs_again_in_the_emptied_place(self):
        s = self.session()
        install_previous(s)
        before = tree(s, QUORBIN)
        for folder in COMPONENTS:
            write_file(s, QUORBIN + "\\%s\\remains.txt" % folder, b"from the old installation")
        # A network's sign-in page answers the download first (200, HTML): no program, so a
        # failed download, and nothing of the old installation goes.
        kept = tree(s, QUORBIN)
        page = s.dir / "sign-in.html"
        page.write_bytes(b"<!DOCTYPE html><html><body><form>Sign in to the network</form></body></html>\n" * 64)
        s.set_download(PACKAGE, file=page)
        app, outcome, w = self.run_attempt(s)
        self.assertEqual((outcome, [b["text"] for b in s.msgboxes()]), ("question", [DOWNLOAD_FAILED]))
        self.assertEqual(tree(s, QUORBIN), kept, "nothing removed")
        self.assertIsNone(s.fake_log("uninstaller"), "no uninstaller started")
        self.assertEqual(sorted(report_types(s)), [0, 1], "no InstallFailed")
        s.press("OK")
        s.wait_for(lambda: not s.msgboxes(), 10, what="the box to go")
        self.assertEqual(wait_outcome(s)[0], "failed")
        serve_package(s)
        click_install(s)
        s.wait_for(lambda: report_types(s).count(0) == 2, 20, what="the second attempt")
        self.assertEqual(wait_outcome(s)[0], "installed")
        # Started in its own folder, not in the Downloads folder the installer was started in.
        self.assertEqual(lines(s.fake_log("uninstaller"), "started")[0].split(" exe=")[0],
                         "started cmdline=[ /S] cwd=[%s]" % QUORBIN)
        # The package laid down a complete installation; nothing of the old one's remains.
        self.assertEqual(tree(s, QUORBIN), before)
        self.assertEqual(registered_value(s), ("REG_SZ", QUORBIN + "\\Vantrelisk"))
        self.assertNoRestartPath(s)

    def test_missing_component_folder_and_a_file_named_like_one(self):
        s = self.session()
        install_previous(s)
        shutil.rmtree(s.host_path(QUORBIN + "\\Ostrel"))
        shutil.rmtree(s.host_path(QUORBIN + "\\Drummel"))
        write_file(s, QUORBIN + "\\Drummel", b"a file where a component folder would be")
        app, outcome, w = self.run_attempt(s, env={"MORVELT_FAKE_NOINSTALL": "1"})
        # Nothing was left for a restart, so the package ran and the attempt succeeded.
        self.assertEqual(outcome, "installed")
        self.assertEqual(tree(s, QUORBIN), {"Drummel": b"a file where a component folder would be"})
        self.assertNoRestartPath(s)
        self.assertIn("Installing MORVELT...", status_texts(app.stdout_path))

    def test_installation_without_its_uninstaller_is_left_alone(self):
        s = self.session()
        install_previous(s)
        s.host_path(QUORBIN + "\\Uninstall MORVELT.exe").unlink()
        before = tree(s, QUORBIN)
        app, outcome, w = self.run_attempt(s, env={"MORVELT_FAKE_NOINSTALL": "1"})
        self.assertEqual(outcome, "installed")
        self.assertEqual(tree(s, QUORBIN), before, "nothing deleted")
        self.assertIsNone(s.fake_log("uninstaller"), "no uninstaller ran")
        self.assertNotIn(UNINSTALLING, status_texts(app.stdout_path))
        self.assertEqual(len(lines(s.fake_log("package"), "started")), 1, "the package still ran")
        self.assertNoRestartPath(s)


class TestLongPaths(RemovalCase):
    """Inside a component folder the shell cannot empty, paths live in 260-unit buffers: an entry
    whose full path does not fit is never touched, under its own name or a shortened one."""

    def test_entries_beyond_the_bound_are_left_alone(self):
        s = self.session()
        install_previous(s)
        pellam = QUORBIN + "\\Pellam"
        fits = pellam + "\\" + "f" * (259 - len(pellam) - 1)          # 259 units: the longest that fits
        too_long = pellam + "\\" + "g" * (260 - len(pellam) - 1)      # 260 units
        no_pattern = pellam + "\\" + "h" * (258 - len(pellam) - 1)    # its "\\*" does not fit
        self.assertEqual((len(fits), len(too_long), len(no_pattern)), (259, 260, 258))
        write_file(s, fits, b"fits")
        write_file(s, too_long, b"too long")
        write_file(s, no_pattern + "\\i", b"inside a folder that cannot be searched")
        app, outcome, w = self.run_attempt(s, env={"MORVELT_FAKE_NOINSTALL": "1"})
        # The shell was not trusted with a tree it could not be checked for links in, so the
        # restart path follows.
        self.assertEqual(outcome, "question")
        self.assertFalse(s.exists(fits), "an entry that fits is deleted")
        self.assertEqual(s.read_file(too_long, binary=True), b"too long")
        self.assertEqual(s.read_file(no_pattern + "\\i", binary=True), b"inside a folder that cannot be searched")
        pending = pending_deletions(s)
        self.assertIn(no_pattern, pending, "the folder itself fits and is scheduled like every folder")
        self.assertNotIn(too_long, pending)
        for path in pending:
            self.assertTrue(s.exists(path), "scheduled under a name that does not exist: %s" % path)
        self.assertEqual(sorted(tree(s, pellam)), sorted([too_long[len(pellam) + 1:], no_pattern[len(pellam) + 1:],
                                                           no_pattern[len(pellam) + 1:] + "\\i"]))


class TestRegisteredValue(RemovalCase):
    """The registered value names the installation root by its last 10 units cut off. The installer
    runs from C:\\Work here, so that a root cut down to nothing would name that folder."""

    WORK = "C:\\Work"

    def start_in_work(self, s):
        """One attempt started from the working folder; answers its outcome once it is closed."""
        s.host_path(self.WORK).mkdir(exist_ok=True)
        target = s.host_path(INSTALLER_WIN_PATH)
        if not target.exists():
            shutil.copy2(installer_path(), target)
        work = s.host_path(self.WORK)
        p, out = s.popen(["sh", "-c", 'cd "$1" && exec wine "$2" /i', "sh", str(work), INSTALLER_WIN_PATH],
                         env={"WINEDEBUG": TRACE, "MORVELT_FAKE_NOINSTALL": "1"}, name="installer")
        self.last_out = out
        outcome, w = wait_outcome(s)
        if outcome == "question":
            s.press("No")
        close_window(s, w)  # so that the next start is alone
        s.wait_for(lambda: p.poll() is not None, 20, what="the installer to end")
        return outcome

    def lay_work_folder(self, s, prefix):
        """An uninstaller and a component folder in the working folder, named with a prefix."""
        shutil.copy2(s.fake("uninstaller_fake.exe"), s.host_path(self.WORK) / (prefix + "Uninstall MORVELT.exe"))
        write_file(s, self.WORK + "\\%sPellam\\p.txt" % prefix, b"p")

    def set_value(self, s, text=None, raw=None):
        """The key's default value: REG_SZ text, or raw UTF-16 bytes without a terminator."""
        if raw is None:
            data = (text + "\0").encode("utf-16-le")
        else:
            data = raw
        hexdata = ",".join("%02x" % b for b in data)
        s.import_reg('Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n@=hex(1):%s\r\n' % (
            PRODUCT_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE"), hexdata))

    def test_short_relative_and_drive_root_values_name_no_installation(self):
        s = self.session()
        s.host_path(self.WORK).mkdir()
        self.lay_work_folder(s, "")
        self.lay_work_folder(s, "X")
        # Ten units or fewer leave no root; eleven leave a root of one unit, a name relative to the
        # working folder; a drive letter leaves the drive's root. None names an installation, so
        # nothing there is run or deleted, and the attempt goes on to the package.
        shutil.copy2(s.fake("uninstaller_fake.exe"), s.host_path("C:\\Uninstall MORVELT.exe"))
        write_file(s, "C:\\Pellam\\p.txt", b"p")
        for value in ("Vantrelisk", "antrelisk", "C:\\", "XVantrelisk", "C:\\Vantrelisk", "C:Vantrelisk"):
            with self.subTest(value=value):
                self.set_value(s, value)
                self.assertEqual(self.start_in_work(s), "installed")
                self.assertIsNone(s.fake_log("uninstaller"), "value %r ran an uninstaller" % value)
                for kept in (self.WORK + "\\Pellam\\p.txt", self.WORK + "\\XPellam\\p.txt", "C:\\Pellam\\p.txt",
                             "C:\\Uninstall MORVELT.exe"):
                    self.assertTrue(s.exists(kept), kept)

    def test_the_machines_own_folders_name_no_installation(self):
        # An uninstaller and a component folder laid in the Windows folder, the 32-bit Program Files
        # folder, the users folder and a profile's root: a value naming any of them, however it is
        # written, runs and deletes nothing there, and the attempt goes on to the package.
        s = self.session()
        folders = ("C:\\windows", "C:\\Program Files (x86)", "C:\\users", "C:\\users\\Public")
        for folder in folders:
            shutil.copy2(s.fake("uninstaller_fake.exe"), s.host_path(folder + "\\Uninstall MORVELT.exe"))
            write_file(s, folder + "\\Pellam\\p.txt", b"p")
        for root in ("C:/Windows/", "c:\\PROGRAM FILES (X86)\\", "C:\\USERS\\", "C:\\users\\Public\\"):
            with self.subTest(root=root):
                self.set_value(s, root + "Vantrelisk")
                self.assertEqual(self.start_in_work(s), "installed")
                self.assertIsNone(s.fake_log("uninstaller"), "value %r ran an uninstaller" % root)
        for folder in folders:
            self.assertTrue(s.exists(folder + "\\Pellam\\p.txt") and s.exists(folder + "\\Uninstall MORVELT.exe"), folder)

    def test_value_without_terminator(self):
        s = self.session()
        install_previous(s)
        before = tree(s, QUORBIN)
        # A 1023-unit value without terminator is taken whole: its root, padded with "." steps,
        # names the installation, but an uninstaller path that long cannot be started (Wine's
        # CreateProcessW crashed the installer on it before that was checked), so the attempt goes
        # on and nothing is removed.
        self.set_value(s, raw=(QUORBIN + "\\" + ".\\" * 491 + "Vantrelisk").encode("utf-16-le"))
        self.assertEqual(self.start_in_work(s), "installed")
        self.assertNotIn("Unhandled page fault", self.last_out.read_text(errors="replace"))
        self.assertIsNone(s.fake_log("uninstaller"))
        self.assertEqual(tree(s, QUORBIN), before)
        # A value that ends where its data ends, without a terminator, is an ordinary root.
        self.set_value(s, raw=(QUORBIN + "\\Vantrelisk").encode("utf-16-le"))
        self.assertEqual(self.start_in_work(s), "installed")
        started = lines(s.fake_log("uninstaller"), "started")
        self.assertEqual(len(started), 1)
        self.assertIn("exe=[%s\\Uninstall MORVELT.exe]" % QUORBIN, started[0])
        self.assertEqual(tree(s, QUORBIN), {})


class TestLinks(RemovalCase):
    """Links that lead out of the installation. Wine 8 cannot make junctions or symbolic links
    itself, but it shows a host symbolic link to a folder as a folder reparse point (attributes
    0x410), which is what the installer sees of a junction; its shell's deletion follows such a
    link into its target."""

    def test_folder_links_are_not_followed(self):
        s = self.session()
        install_previous(s)
        for name in ("Shared", "Drum"):
            write_file(s, DECOY + "\\%s\\a.txt" % name, b"keep")
            write_file(s, DECOY + "\\%s\\sub\\b.txt" % name, b"keep")
        decoy_before = tree(s, DECOY)
        quorbin = s.host_path(QUORBIN)
        decoy = s.host_path(DECOY)
        os.symlink(os.path.relpath(decoy / "Shared", quorbin / "Vesk"), quorbin / "Vesk" / "shared")
        shutil.rmtree(quorbin / "Drummel")
        os.symlink(os.path.relpath(decoy / "Drum", quorbin), quorbin / "Drummel")
        attrs = cmd_script(s, '@cd /d "%s\\Vesk"\n@for /d %%%%I in (*) do @echo %%%%~aI %%%%~nxI\n' % QUORBIN).stdout
        self.assertRegex(attrs, r"d-+l\s+shared", "Wine shows the link as a reparse point")

        app, outcome, w = self.run_attempt(s, env={"MORVELT_FAKE_NOINSTALL": "1"})
        self.assertEqual(tree(s, DECOY), decoy_before, "nothing behind the links was touched")
        # Wine removes no link as a link (RemoveDirectoryW answers ERROR_DIR_NOT_EMPTY for the
        # target's content), so both links wait for the restart and the restart path follows.
        self.assertEqual(outcome, "question")
        self.assertEqual(s.msgboxes()[0]["text"], DEFAULT_RESTART_QUESTION)
        pending = pending_deletions(s)
        self.assertIn(QUORBIN + "\\Vesk\\shared", pending)
        self.assertIn(QUORBIN + "\\Drummel", pending)
        self.assertFalse([p for p in pending if p.lower().startswith(DECOY.lower())], pending)
        self.assertFalse([p for p in pending if "\\shared\\" in p], "never descended into a link: %s" % pending)
        self.assertEqual(sorted(k for k in tree(s, QUORBIN + "\\Vesk")), ["data", "shared"])

        # The restart carries out the scheduled deletions; the targets stay whole.
        s.press("Yes")
        s.wait_for(lambda: app.popen.poll() is not None, 20, what="the restart to end the installer")
        s.run(["wineboot"], timeout=120)
        self.assertEqual(tree(s, DECOY), decoy_before, "the restart did not reach behind the links")
        self.assertEqual(pending_deletions(s), [])


if __name__ == "__main__":
    unittest.main()
