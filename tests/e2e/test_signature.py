"""A build that names the vendor's signer runs only a package signed by that name under a root the
prefix trusts: anything else counts as a failed download, is deleted and runs nothing, and a
package reused after a restart is checked as well. The harness signs the package fake with
osslsigncode (see sign_package_fakes); the rest of the suite runs the build without a signer,
which runs the unsigned fake as before."""

import unittest

from harness import signer_installer_path
from install_support import DOWNLOAD_FAILED, InstallCase
from product import PACKAGE


class TestPackageSignature(InstallCase):
    def serve(self, s, package):
        s.set_download(PACKAGE, file=s.fake(package), rate=1_000_000)
        s.set_lookup(PACKAGE.encode(), delay=0.4)

    def test_only_the_vendors_signature_runs(self):
        s = self.session()
        self.serve(s, "package_fake.exe")
        self.start(s, exe=signer_installer_path())
        s.wait_for(lambda: 1 in self.kinds(s, 0), 15, what="the start-up report")
        # (A package changed after signing is not here: Wine's check does not hash the image.)
        for package in ("package_fake.exe", "package_other_signer.exe", "package_untrusted_root.exe"):
            with self.subTest(package=package):
                self.serve(s, package)
                since = len(s.requests())
                self.click_install(s)
                box = self.wait_box(s, DOWNLOAD_FAILED, 40)
                self.assertBox(box, DOWNLOAD_FAILED, "error", ["OK"], s.main_window())
                s.press("OK")
                w, b, p = self.wait_attempt_over(s)
                self.assertEqual(b["text"], "Download and Install", "the button is offered again")
                # Reported as a failed download is: the attempt's start, and nothing after it.
                self.assertEqual([k for k in self.kinds(s, since)], [0, "lookup", "download"])
                self.assertFalse(self.package_file(s).exists(), "the refused package is deleted")
                self.assertEqual(self.package_log(s), "", "nothing ran")
        # The vendor's own signature installs.
        self.serve(s, "package_signed.exe")
        self.click_install(s)
        self.wait_installed(s, 60)
        self.assertIn("started cmdline=[ /S]", self.package_log(s))

    def test_after_a_restart_an_unsigned_recorded_package_is_downloaded_anew(self):
        s = self.session()
        self.plant_package(s, s.fake("package_fake.exe").read_bytes())
        self.serve(s, "package_signed.exe")
        self.start(s, "/c", exe=signer_installer_path())
        self.wait_installed(s, 60)
        self.assertWorkerSequence(s, [0, "lookup", "download", 2, 3])
        self.assertEqual(self.package_file(s).read_bytes(), s.fake("package_signed.exe").read_bytes())

    def test_after_a_restart_the_vendors_package_is_reused(self):
        s = self.session()
        self.plant_package(s, s.fake("package_signed.exe").read_bytes())
        s.set_lookup(PACKAGE.encode(), delay=0.4)  # and nothing to download
        self.start(s, "/c", exe=signer_installer_path())
        self.wait_installed(s, 60)
        self.assertWorkerSequence(s, [0, "lookup", 3])


if __name__ == "__main__":
    unittest.main()
