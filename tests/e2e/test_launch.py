"""Starting the installed product after a successful install: "Close and Launch MORVELT" (or "/i /l")
has the desktop shell start the product fake, so it is the shell's child and not the installer's;
without a shell to ask, nothing starts and the window closes all the same. Run from a Downloads folder
holding DLLs planted under system DLLs' names, the installer loads none of them."""

import re
import shutil
import time
import unittest

from harness import tools_dir
from install_support import INSTALLED, InstallCase, request_kind
from product import LAUNCH_BUTTON, PACKAGE, PRIVACY, PRODUCT_DIR, PRODUCT_EXE

# Long enough to outlive the installer, short enough not to hold up the teardown.
PRODUCT_LIFETIME_MS = 25000  # the close must come well before: 20 s on a loaded, emulated machine

STARTED = re.compile(r"^started cmdline=\[(?P<cmdline>.*?)\] cwd=\[(?P<cwd>.*?)\] exe=\[(?P<exe>.*?)\] "
                     r"pid=(?P<pid>\d+) parent_pid=(?P<parent_pid>\d+) parent_exe=\[(?P<parent_exe>.*?)\] ")

# A TreatAs entry sends every creation of the shell's window collection to a class nobody serves:
# the collection cannot be had, whatever runs.
SHELL_WINDOWS_UNAVAILABLE = (
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{9BA05972-F6A8-11CF-A442-00A0C90A8F39}\\TreatAs]\n"
    '@="{6D6F7276-656C-7400-0000-0000000000AA}"\n')


def program_files_at(folder):
    """.reg text (for the 32-bit view) moving the Program Files folder that 32-bit programs see."""
    return ("Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\n"
            '"ProgramFilesDir"="%s"\n' % folder.replace("\\", "\\\\"))


class LaunchCase(InstallCase):
    def prepare(self, s):
        s.set_download(PACKAGE, file=s.fake("package_fake.exe"))
        (s.host_path("C:\\fakes") / "product_lifetime_ms").write_text(str(PRODUCT_LIFETIME_MS))

    def install(self, s, env=None):
        """Runs the installer, clicks "Download and Install" and waits for the launch button."""
        app = s.start_installer(env=env)
        self.click_install(s)
        s.wait_for(lambda: self.launch_button(s), 60, what="the %r button" % LAUNCH_BUTTON)
        self.assertIsNone(s.fake_log("product"), "nothing has started the product before the click")
        return app

    def launch_button(self, s):
        button = s.control(s.main_window(), cls="Button")
        return button if button and button["text"] == LAUNCH_BUTTON and button["enabled"] else None

    def click_launch(self, s):
        w = s.main_window()
        b = self.launch_button(s)
        left, top = w["rect"][:2]
        s.click(left + (b["rect"][0] + b["rect"][2]) // 2, top + (b["rect"][1] + b["rect"][3]) // 2)

    def processes(self, s, exe):
        return [p for p in s.driver("ps") if p["exe"].lower() == exe.lower()]

    def product_start(self, s):
        log = s.wait_for(lambda: s.fake_log("product"), 20, what="the product fake's start")
        m = STARTED.match(log.splitlines()[0])
        self.assertTrue(m, log)
        return m

    def assertClosedWithLaunch(self, s, app):
        self.assertEqual(app.wait(30), 0, "the installer ends with exit code 0")
        s.wait_no_window()
        reports = s.reports()
        types = [r["query"].get("type") for r in reports]
        self.assertEqual(types[-1], "6", [r["target"] for r in reports])
        self.assertEqual(types.count("6"), 1)
        self.assertNotIn("5", types, "a close after a launch is not reported as a plain close")
        self.assertEqual(reports[-1]["query"]["r"], "41")
        self.assertEqual(reports[-1]["query"]["session"], reports[0]["query"]["session"])
        self.assertEqual(s.msgboxes(), [], "no message box, from the installer or the shell")

    def assertStartedByShell(self, s, start, explorers, folder=PRODUCT_DIR):
        exe = folder + "\\MORVELT.exe"
        self.assertEqual(start["cmdline"], '"%s"' % exe, "the product gets no arguments")
        self.assertEqual(start["exe"].lower(), exe.lower())
        self.assertEqual(start["cwd"], folder)
        self.assertEqual(start["parent_exe"].lower(), "explorer.exe")
        self.assertIn(int(start["parent_pid"]), [p["pid"] for p in explorers], "the desktop shell's process")


class TestLaunchThroughTheShell(LaunchCase):
    def test_close_and_launch_has_the_shell_start_the_product(self):
        s = self.session(desktop=True)
        app = self.install(s)
        installer = self.processes(s, "MORVELTSetup.exe")
        explorers = self.processes(s, "explorer.exe")
        self.assertEqual(len(installer), 1)
        self.assertEqual(len(explorers), 1, "Wine's desktop shell runs")
        s.screenshot("before-launch")
        clicked = time.monotonic()
        self.click_launch(s)
        start = self.product_start(s)
        self.assertStartedByShell(s, start, explorers)
        self.assertNotEqual(int(start["parent_pid"]), installer[0]["pid"])
        self.assertClosedWithLaunch(s, app)
        closed = time.monotonic() - clicked
        # The installer does not wait for the product: it is gone while the product still holds on.
        self.assertLess(closed, PRODUCT_LIFETIME_MS / 1000 - 5, "closed %.1f s after the click" % closed)
        self.assertEqual(len(self.processes(s, "MORVELT.exe")), 1, "the product still runs")
        self.assertNotIn("stopping", s.fake_log("product"))
        self.assertEqual(s.fake_log("product").count("started"), 1, "started once")
        s.screenshot("after-launch")

    def test_install_and_launch_switches_start_the_product_without_a_click(self):
        s = self.session(desktop=True)
        explorers = []

        def explorer_seen():
            explorers[:] = self.processes(s, "explorer.exe")
            return explorers
        # Nothing is clicked: the launch comes a few seconds after the start, so the shell must be up first.
        s.wait_desktop_shell()
        self.serve_package(s)
        run = self.start(s, "/i", "/l")
        app = run.app
        s.wait_for(explorer_seen, 10, what="the desktop shell")
        start = self.product_start(s)
        self.assertStartedByShell(s, start, explorers)
        self.assertClosedWithLaunch(s, app)
        self.assertEqual(s.fake_log("product").count("started"), 1, "started once")
        # Unattended from start to close: the whole attempt, then the launch's close.
        self.assertEqual(app.wait(60), 0, "ends by itself with exit code 0")
        reqs = [r for r in s.requests() if request_kind(r) != 1]
        self.assertWorkerSequence(s, [0, "lookup", "download", 2, 3, 6])
        self.assertTrue(reqs[-1]["target"].endswith("&webinst=true&type=6"), reqs[-1]["target"])
        started = [r for r in reqs if request_kind(r) == 0][0]
        self.assertSpeedFits(started, reqs[3], s.fake("package_fake.exe").stat().st_size)
        self.assertFalse(self.package_file(s).exists(), "the package file is deleted at the close")
        self.assertEqual(run.statuses()[-1], INSTALLED)

    def test_the_products_own_folder_is_its_working_folder(self):
        # With Program Files elsewhere the product is there, and so is the folder it starts in.
        s = self.session(desktop=True)
        s.import_reg(program_files_at("C:\\Apps"))
        (s.prefix / "drive_c" / "Apps").mkdir()  # the shell names only a folder that exists
        app = self.install(s)
        self.assertTrue(s.exists("C:\\Apps\\Quorbin\\Vantrelisk\\MORVELT.exe"), "the package installed below C:\\Apps")
        self.assertFalse(s.exists(PRODUCT_DIR))
        explorers = self.processes(s, "explorer.exe")
        self.click_launch(s)
        self.assertStartedByShell(s, self.product_start(s), explorers, folder="C:\\Apps\\Quorbin\\Vantrelisk")
        self.assertClosedWithLaunch(s, app)


class TestNothingToLaunchWith(LaunchCase):
    def assertNothingStarted(self, s):
        time.sleep(1.0)  # room for a start that should not come
        self.assertIsNone(s.fake_log("product"), "the product was not started")
        self.assertEqual(self.processes(s, "MORVELT.exe"), [])

    def test_no_desktop_shell_running(self):
        # Without a virtual desktop Wine's explorer still serves the shell; ended, nothing does.
        s = self.session(desktop=False)
        app = self.install(s)
        for explorer in self.processes(s, "explorer.exe"):
            s.run(["wine", "taskkill", "/f", "/pid", str(explorer["pid"])], check=True)
        s.wait_for(lambda: not self.processes(s, "explorer.exe"), 10, what="no desktop shell")
        # Nor does a link open its page: only the shell could start the browser unelevated.
        w = s.main_window()
        s.click(w["rect"][0] + PRIVACY[0] + 20, w["rect"][1] + PRIVACY[1] + 9)
        self.click_launch(s)
        self.assertClosedWithLaunch(s, app)
        self.assertNothingStarted(s)
        self.assertIsNone(s.fake_log("browser"), "no page opened without the desktop shell")

    def test_no_shell_window_collection(self):
        s = self.session(desktop=True)
        s.import_reg(SHELL_WINDOWS_UNAVAILABLE)
        app = self.install(s)
        self.assertTrue(self.processes(s, "explorer.exe"), "the desktop shell runs, only its collection is out of reach")
        self.click_launch(s)
        self.assertClosedWithLaunch(s, app)
        self.assertNothingStarted(s)

    def test_a_shell_that_cannot_start_the_product(self):
        # The package reports success but installs nothing: the shell's start fails, unnoticed.
        s = self.session(desktop=True)
        app = self.install(s, env={"MORVELT_FAKE_NOINSTALL": "1"})
        self.assertFalse(s.exists(PRODUCT_EXE))
        self.click_launch(s)
        self.assertClosedWithLaunch(s, app)
        self.assertNothingStarted(s)


# System DLLs outside Windows' KnownDLLs that programs load after their start (the window's theme,
# the network, certificates, sound...). Each is planted in the Downloads folder as a DLL that leaves
# C:\fakes\log\planted-<name>.dll.txt when loaded; Wine is told to prefer a DLL found by the
# search, as Windows does.
PLANTED = ["uxtheme", "dwmapi", "msimg32", "crypt32", "dnsapi", "iphlpapi", "secur32", "userenv", "winmm",
           "cryptbase", "propsys", "winhttp", "urlmon", "wininet"]


class TestPlantedDlls(LaunchCase):
    maxDiff = None  # the marks name the programs that loaded them

    def plant(self, s):
        for name in PLANTED:
            shutil.copy2(tools_dir() / "planted_mark.dll", s.host_path("C:\\Downloads") / (name + ".dll"))
        return {"WINEDLLOVERRIDES": "mscoree,mshtml=;%s=n,b" % ",".join(PLANTED)}

    def marks(self, s):
        # Each mark: the programs that loaded that plant, once each.
        return {p.name: sorted(set(p.read_text(errors="replace").splitlines()))
                for p in s.host_path("C:\\fakes\\log").glob("planted-*")}

    def test_dlls_planted_beside_the_installer_are_not_loaded(self):
        s = self.session(desktop=True)
        env = self.plant(s)
        # The plants work: a program that leaves its search as it is loads them from its folder.
        shutil.copy2(tools_dir() / "httpget.exe", s.host_path("C:\\Downloads"))
        s.run(["wine", "C:\\Downloads\\httpget.exe"], env=env)
        self.assertTrue({"planted-urlmon.dll.txt", "planted-winhttp.dll.txt"} & set(self.marks(s)), self.marks(s))
        for mark in s.host_path("C:\\fakes\\log").glob("planted-*"):
            mark.unlink()
        try:
            app = self.install(s, env=env)
        except TimeoutError:  # a plant that was loaded may be why: name it first
            self.assertEqual(self.marks(s), {}, "planted DLLs loaded, with the programs that loaded them")
            raise
        explorers = self.processes(s, "explorer.exe")
        self.click_launch(s)
        self.assertStartedByShell(s, self.product_start(s), explorers)
        self.assertClosedWithLaunch(s, app)
        self.assertEqual(self.marks(s), {}, "planted DLLs loaded, with the programs that loaded them")


if __name__ == "__main__":
    unittest.main()
