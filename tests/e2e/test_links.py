"""The three text links: how they look, the hand cursor over them, the page each press opens in the
browser stand-in, the tutorial link's report on every press, and links that are hidden or only
reached by the keyboard doing nothing."""

import re
import time
import unittest

from harness import ScenarioCase
from product import (BLUE, FACE, GREY, LICENCE, LICENCE_URL, PACKAGE, PRIVACY, PRIVACY_URL, TUTORIAL,
                     TUTORIAL_URL)

BROWSED = re.compile(r"^url=\[(?P<url>.*?)\] parent_pid=(?P<parent_pid>\d+) parent_exe=\[(?P<parent_exe>.*?)\] ")

WM_KEYDOWN, WM_KEYUP, WM_CHAR = 0x0100, 0x0101, 0x0102
VK_RETURN, VK_SPACE, VK_TAB = 0x0D, 0x20, 0x09


class LinkCase(ScenarioCase):
    def open(self):
        s = self.session()
        s.wait_desktop_shell()  # the pages open through it, as on a logged-on Windows
        app = s.start_installer()
        w = s.main_window()
        s.wait_requests("/wp-json/hlv/api", 1)
        return s, app, w

    def at(self, w, x, y):
        """Screen point of a point of the window."""
        return w["rect"][0] + x, w["rect"][1] + y

    def press(self, s, w, x, y, times=1):
        """Presses the left button at a point of the window, times in quick succession."""
        sx, sy = self.at(w, x, y)
        s.xdotool("mousemove", sx, sy, "click", "--repeat", times, "--delay", 80, 1)

    def browsed(self, s):
        log = s.fake_log("browser") or ""
        return [BROWSED.match(line) for line in log.splitlines() if line.strip()]

    def wait_browsed(self, s, count):
        return s.wait_for(lambda: len(self.browsed(s)) >= count and self.browsed(s), 10,
                          what="%d page(s) opened" % count)

    def types(self, s):
        return [r["query"].get("type") for r in s.reports()]

    def face(self, s, w, label):
        shot = s.screenshot(label)
        return shot.crop(w["rect"][0], w["rect"][1], 500, 330)

    def assertLink(self, face, box, colour, mid_line, gap=12):
        """Text of colour inside box only, starting at its left edge, centred on mid_line, underlined
        across the label and cut off at its right edge (nothing of it in the gap columns after it)."""
        left, top, right, bottom = box
        inside = [(x, y) for x, y, c in face.pixels(box) if c == colour]
        self.assertGreater(len(inside), 150, "link text in %s" % (box,))
        self.assertLessEqual(min(x for x, _ in inside), left + 2, "left-aligned")
        rows = {}
        for x, y in inside:
            rows.setdefault(y, set()).add(x)
        underline = [y for y, xs in rows.items() if len(xs) >= 0.9 * (right - left)]
        self.assertTrue(underline, "a row of colour across the label: %s" % sorted((y, len(xs)) for y, xs in rows.items()))
        glyphs = [y for x, y in inside if y < min(underline)]
        self.assertGreater(min(underline), max(glyphs), "the underline lies below the letters")
        self.assertAlmostEqual((min(glyphs) + max(underline)) / 2, mid_line, delta=2.5)
        beyond = (right, top, min(right + gap, 499), bottom)
        self.assertEqual([p for p in face.pixels(beyond) if p[2] == colour], [], "cut off at the right edge")


class TestFooterLinks(LinkCase):
    def test_grey_underlined_text_cut_at_the_label_edge(self):
        s, app, w = self.open()
        face = self.face(s, w, "welcome")
        # The licence link's gap ends where the privacy link begins.
        for name, box, gap in (("licence", LICENCE, PRIVACY[0] - LICENCE[2]), ("privacy", PRIVACY, 12)):
            with self.subTest(link=name):
                self.assertLink(face, box, GREY, box[1] + 10, gap)
                self.assertEqual([p for p in face.pixels(box) if p[2] == BLUE], [])
        self.assertEqual([p for p in face.pixels(TUTORIAL) if p[2] != FACE], [], "no tutorial link on the welcome screen")

    def test_each_press_opens_its_page(self):
        s, app, w = self.open()
        pid = s.main_window()["pid"]
        self.press(s, w, 300, 312)        # the licence link's text
        self.wait_browsed(s, 1)
        self.press(s, w, 420, 312)        # the privacy link's text
        self.wait_browsed(s, 2)
        self.press(s, w, 392, 304)        # the privacy label above its letters
        self.wait_browsed(s, 3)
        self.press(s, w, 250, 320, times=2)  # the licence label below its underline, twice quickly
        opened = self.wait_browsed(s, 5)
        time.sleep(1.0)  # room for a page that should not open
        self.assertEqual([m["url"] for m in self.browsed(s)],
                         [LICENCE_URL, PRIVACY_URL, PRIVACY_URL, LICENCE_URL, LICENCE_URL])
        # The desktop shell starts the page's handler with the user's rights, never the elevated installer.
        explorers = [p["pid"] for p in s.driver("ps") if p["exe"].lower() == "explorer.exe"]
        for m in opened:
            self.assertEqual(m["parent_exe"].lower(), "explorer.exe")
            self.assertIn(int(m["parent_pid"]), explorers)
            self.assertNotEqual(int(m["parent_pid"]), pid)
        self.assertEqual(self.types(s), ["1"], "the footer links report nothing")
        after = s.main_window()
        self.assertEqual(after["rect"], w["rect"], "a press on a link does not drag the window")
        self.assertTrue(app.running)

    def test_right_button_hidden_tutorial_and_keys_do_nothing(self):
        s, app, w = self.open()
        self.press(s, w, 250, 228)  # where the tutorial link is when shown
        self.press(s, w, 170, 238)
        sx, sy = self.at(w, 300, 312)
        s.xdotool("mousemove", sx, sy, "click", 3)  # right button on the licence link
        s.xdotool("mousemove", *self.at(w, 100, 100), "click", 1)
        s.xdotool("key", "Tab", "Return", "space", "Tab", "Tab", "Return", "space")
        for link in [c for c in s.main_window()["children"] if c["class"].lower() == "static"]:
            for vk, char in ((VK_RETURN, 13), (VK_SPACE, 32), (VK_TAB, 9)):
                s.driver("post", link["hwnd"], WM_KEYDOWN, vk, 1)
                s.driver("post", link["hwnd"], WM_CHAR, char, 1)
                s.driver("post", link["hwnd"], WM_KEYUP, vk, 0xC0000001)
        time.sleep(1.5)
        self.assertEqual(self.browsed(s), [], "no page opened")
        self.assertEqual(self.types(s), ["1"], "nothing reported")
        after = s.main_window()
        self.assertEqual(after["rect"], w["rect"])
        self.assertEqual(s.control(after, cls="Button")["text"], "Download and Install")
        self.assertTrue(s.control(after, cls="Button")["enabled"], "no attempt started")
        self.assertEqual(s.msgboxes(), [])
        self.assertEqual(s.cursor_kind(*self.at(w, 250, 228)), "arrow", "no hand where the hidden link is")


class TestTutorialLink(LinkCase):
    def test_shown_while_downloading_and_reported_on_every_press(self):
        s, app, w = self.open()
        # Slow enough to expand the layout (after 5 s) and to keep it for the presses; it then ends.
        s.set_download(PACKAGE, size=4_000_000, rate=200_000)
        self.press(s, w, 250, 260)
        tutorial = s.wait_for(lambda: [c for c in s.main_window()["children"]
                                       if c["text"] == "Watch MORVELT Tutorial" and c["visible"]], 20,
                              what="the tutorial link shown")[0]
        self.assertEqual(tuple(tutorial["rect"]), TUTORIAL)
        face = self.face(s, w, "expanded")
        self.assertLink(face, TUTORIAL, BLUE, TUTORIAL[1] + 15)
        for point, where in (((200, 229), "its text"), ((300, 239), "below its text"), ((162, 217), "its corner")):
            with self.subTest(cursor=where):
                self.assertEqual(s.cursor_kind(*self.at(w, *point)), "hand")

        self.press(s, w, 200, 229, times=3)  # three quick presses: no debounce, no double-click lost
        self.wait_browsed(s, 3)
        self.press(s, w, 330, 238)           # part of the label outside the letters
        self.wait_browsed(s, 4)
        s.wait_for(lambda: self.types(s).count("10") >= 4, 10, what="four tutorial reports")
        self.assertEqual([m["url"] for m in self.browsed(s)], [TUTORIAL_URL] * 4)
        reports = [r for r in s.reports() if r["query"].get("type") == "10"]
        session = s.reports()[0]["query"]["session"]
        for r in reports:
            self.assertRegex(r["target"], r"^/wp-json/hlv/api\?r=41&session=%s&webinst=true&type=10$" % re.escape(session))
        self.assertTrue(app.running)

        # The download ends, the layout collapses and the hidden link takes no presses.
        s.wait_for(lambda: not s.control(s.main_window(), text="Watch MORVELT Tutorial")["visible"], 40,
                   what="the tutorial link hidden again")
        before = len(self.browsed(s))
        count = self.types(s).count("10")
        self.press(s, w, 200, 229)
        time.sleep(1.5)
        self.assertEqual(len(self.browsed(s)), before)
        self.assertEqual(self.types(s).count("10"), count)
        self.face(s, w, "collapsed")


if __name__ == "__main__":
    unittest.main()
