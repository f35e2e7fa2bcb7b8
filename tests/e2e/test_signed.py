"""The installer as a vendor ships it, signed: under Wine it opens its welcome window as the
unsigned one does. tests/release/release_test.sh signs a build with a throwaway certificate and
leaves it in build/signed (E2E_SIGNED_INSTALLER names another); without it there is nothing to run."""

import os
import unittest
from pathlib import Path

from harness import BUILD, INSTALLER_WIN_PATH, MAIN_CLASS, ScenarioCase
from product import INSTALL_BUTTON

SIGNED = os.environ.get("E2E_SIGNED_INSTALLER") or str(BUILD / "signed" / "MORVELTSetup.exe")


@unittest.skipUnless(Path(SIGNED).exists(), "no signed build (tests/release/release_test.sh makes build/signed)")
class TestSignedInstaller(ScenarioCase):
    def test_signed_installer_opens_its_welcome_window(self):
        s = self.session()
        s.start_installer(exe=SIGNED)
        w = s.main_window()
        self.assertEqual(w["class"], MAIN_CLASS)
        self.assertTrue(w["visible"])
        self.assertEqual(s.control(w, cls="Button")["text"], INSTALL_BUTTON)
        # What ran is the signed file itself.
        self.assertEqual(s.host_path(INSTALLER_WIN_PATH).read_bytes(), Path(SIGNED).read_bytes())


if __name__ == "__main__":
    unittest.main()
