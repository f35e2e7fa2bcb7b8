"""The main window as a user sees it: its place, its controls, its painted face, the mouse on
its title band and glyphs, and what the command-line switches start."""

import re
import time
import unittest

from harness import BUILD, Image, ScenarioCase
from product import (BAND, BLACK, CAPTION, CONTROLS, FACE, GREY, HEIGHT, PBST_NORMAL, UUID, WHITE, WIDTH, WS_BORDER,
                     WS_CAPTION, WS_POPUP, WS_SYSMENU, WS_THICKFRAME, WS_VISIBLE)


class WindowCase(ScenarioCase):
    def open(self, *args, **options):
        """A session with the installer started with args; returns (session, process, window).
        The window is read once the start-up report has arrived: the window is moved to the
        centre before that report is started."""
        s = self.session(**options)
        app = s.start_installer(*args)
        s.wait_requests("/wp-json/hlv/api?", 1, timeout=20)
        return s, app, s.main_window()

    def button(self, s):
        return s.control(s.main_window(), text=None, cls="Button")

    def progress(self, s):
        return s.control(s.main_window(), cls="msctls_progress32")

    def origin(self, window):
        return window["rect"][0], window["rect"][1]


class TestMainWindow(WindowCase):
    def test_a_borderless_popup_of_its_own_class(self):
        s, app, w = self.open()
        self.assertEqual(w["class"], "MORVELTSETUP")
        self.assertEqual(w["text"], CAPTION)
        left, top, right, bottom = w["rect"]
        self.assertEqual((right - left, bottom - top), (WIDTH, HEIGHT))
        self.assertEqual(w["client"], [0, 0, WIDTH, HEIGHT], "the client area is the whole window")
        self.assertTrue(w["style"] & WS_POPUP)
        for frame in (WS_CAPTION, WS_BORDER, WS_SYSMENU, WS_THICKFRAME):
            self.assertFalse(w["style"] & frame, "style %#x has frame bit %#x" % (w["style"], frame))
        self.assertEqual(w["exstyle"], 0)
        self.assertEqual(w["owner"], 0)
        self.assertTrue(w["visible"])
        self.assertFalse(w["iconic"])
        self.assertTrue(w["foreground"], "the move to the centre activates the window")

    def test_centred_by_the_size_of_the_work_area(self):
        s, app, w = self.open()
        screen = s.screen_info()
        primary = [m for m in screen["monitors"] if m["primary"]][0]
        work_left, work_top, work_right, work_bottom = primary["work"]
        expected = (int((work_right - work_left) * 0.5 - 250), int((work_bottom - work_top) * 0.5 - 165))
        self.assertEqual(tuple(w["rect"][:2]), expected, "work area %s" % primary["work"])
        if screen["work_area"] == [0, 0, 1024, 768]:
            self.assertEqual(expected, (262, 219))

    def test_controls_in_creation_order(self):
        s, app, w = self.open()
        children = w["children"]
        self.assertEqual(len(children), len(CONTROLS), [c["text"] for c in children])
        for child, (cls, text, style, rect, ident) in zip(children, CONTROLS):
            with self.subTest(control=text or cls):
                self.assertEqual(child["class"].lower(), cls.lower())
                self.assertEqual(child["text"], text)
                self.assertEqual(child["style"], style, "style %#x, expected %#x" % (child["style"], style))
                self.assertEqual(tuple(child["rect"]), rect)
                self.assertEqual(child["id"], ident)
                self.assertEqual(child["visible"], bool(style & WS_VISIBLE))
                self.assertTrue(child["enabled"])
                self.assertEqual(child["parent"], w["hwnd"])

    def test_progress_bar_starts_empty_without_marquee(self):
        s, app, w = self.open()
        bar = s.control(w, cls="msctls_progress32")
        self.assertEqual(bar["range"], [0, 200])
        self.assertEqual(bar["pos"], 0)
        self.assertFalse(bar["marquee"])
        self.assertEqual(bar["state"], PBST_NORMAL)

    def test_setup_started_report_once_with_a_session_id(self):
        s, app, w = self.open()
        reports = s.wait_requests("/wp-json/hlv/api", 1)
        time.sleep(1.0)  # room for any request that should not come
        self.assertEqual(len(s.requests()), 1, [r["raw"] for r in s.requests()])
        r = reports[0]
        self.assertEqual(r["method"], "GET")
        self.assertEqual(r["host"], "localhost")
        m = re.match(r"^/wp-json/hlv/api\?r=41&session=([^&]*)&webinst=true&type=1$", r["target"])
        self.assertTrue(m, r["target"])
        self.assertRegex(m.group(1), UUID)


class TestPainting(WindowCase):
    def setUp(self):
        self.s, self.app, self.w = self.open()
        shot = self.s.screenshot("welcome")
        left, top = self.origin(self.w)
        self.face = shot.crop(left, top, WIDTH, HEIGHT)

    def assertColour(self, point, colour):
        actual = self.face.pixel(*point)
        self.assertEqual(actual, colour, "pixel %s is %s, expected %s" % (point, actual, colour))

    def test_face_band_and_outline(self):
        for point in [(30, 10), (300, 5), (300, 25), (440, 15), (470, 27), (2, 15), (497, 2)]:
            with self.subTest(band=point):
                self.assertColour(point, BAND)
        for x in (1, 100, 250, 400, 498):
            with self.subTest(band_line=x):
                self.assertColour((x, 29), GREY)
        for y in (0, 50, 165, 280, 329):
            with self.subTest(outline_y=y):
                self.assertColour((0, y), GREY)
                self.assertColour((499, y), GREY)
        for x in (1, 250, 498):
            with self.subTest(outline_x=x):
                self.assertColour((x, 0), GREY)
                self.assertColour((x, 329), GREY)
        for point in [(1, 30), (5, 100), (100, 100), (400, 100), (250, 112), (250, 230), (10, 250), (490, 290),
                      (498, 328), (1, 328), (130, 60), (360, 60)]:
            with self.subTest(face=point):
                self.assertColour(point, FACE)

    def test_caption_and_glyphs(self):
        # The caption's rectangle reaches x 470; the minimise glyph from x 450 is left out here.
        white = [(x, y) for x, y, c in self.face.pixels((35, 0, 445, 30)) if c == WHITE]
        self.assertGreater(len(white), 50, "white caption text in the title band")
        self.assertLessEqual(min(x for x, _ in white), 40, "caption starts at the left of its rectangle")
        self.assertAlmostEqual(sum(y for _, y in white) / len(white), 15, delta=2)
        self.assertFalse([p for p in white if p[0] > 300], "caption is left-aligned")
        self.assertFalse([p for p in self.face.pixels((27, 0, 35, 30)) if p[2] == WHITE],
                         "nothing white between the icon and the caption's rectangle")
        # The close glyph: two diagonals of a 2-pixel white pen crossing at (485,15).
        for point in [(480, 10), (482, 12), (485, 15), (488, 18), (490, 20), (490, 10), (488, 12), (482, 18), (480, 20)]:
            with self.subTest(close=point):
                self.assertColour(point, WHITE)
        for point in [(485, 10), (485, 20), (480, 15), (490, 15), (485, 24), (476, 15)]:
            with self.subTest(close_gap=point):
                self.assertColour(point, BAND)
        for x in range(450, 461):
            with self.subTest(minimise=x):
                self.assertColour((x, 20), WHITE)
        for point in [(455, 15), (455, 23), (447, 20), (463, 20), (470, 15)]:
            with self.subTest(minimise_gap=point):
                self.assertColour(point, BAND)

    def compare_bitmap(self, name, at, background):
        path = BUILD / "win" / "res" / name
        self.assertTrue(path.exists(), "%s is built with the installer" % path)
        bitmap = Image.load(path)
        x0, y0 = at
        for corner in [(0, 0), (bitmap.width - 1, 0), (0, bitmap.height - 1), (bitmap.width - 1, bitmap.height - 1)]:
            self.assertEqual(self.face.pixel(x0 + corner[0], y0 + corner[1]), background, "corner %s" % (corner,))
        differing = [(x, y) for x, y, c in bitmap.pixels((0, 0, bitmap.width, bitmap.height))
                     if self.face.pixel(x0 + x, y0 + y) != c]
        self.assertEqual(differing[:10], [], "%s is copied pixel for pixel at %s" % (name, at))
        return bitmap

    def test_title_icon_and_logo(self):
        icon = self.compare_bitmap("title_icon.bmp", (3, 3), BAND)
        self.assertEqual((icon.width, icon.height), (24, 24))
        inside = self.face.crop(3, 3, 24, 24)
        self.assertGreater(inside.count_if((0, 0, 24, 24), lambda c: c != BAND), 100, "the icon shows something")
        logo = self.compare_bitmap("logo.bmp", (140, 45), FACE)
        self.assertEqual((logo.width, logo.height), (210, 47))
        dark = self.face.count_if((140, 45, 350, 92), lambda c: sum(c) < 3 * 150)
        self.assertGreater(dark, 500, "the logo has dark parts")
        for point in [(139, 68), (350, 68), (245, 44), (245, 92)]:
            with self.subTest(around_logo=point):
                self.assertColour(point, FACE)

    def text_pixels(self, box, colour):
        return [(x, y) for x, y, c in self.face.pixels(box) if c == colour]

    def test_welcome_texts(self):
        # "Welcome to MORVELT Setup." in grey on the mid-line 131.
        welcome = self.text_pixels((1, 115, 499, 140), GREY)
        self.assertGreater(len(welcome), 100)
        self.assertAlmostEqual(sum(y for _, y in welcome) / len(welcome), 131, delta=2)
        xs = [x for x, _ in welcome]
        self.assertAlmostEqual((min(xs) + max(xs)) / 2, 250, delta=3, msg="centred")
        self.assertEqual(self.text_pixels((1, 115, 499, 140), BLACK), [])
        # The grey sentence on the mid-line 148 with the button's name in black over it.
        sentence = self.text_pixels((1, 141, 499, 157), GREY)
        black = self.text_pixels((1, 141, 499, 157), BLACK)
        self.assertGreater(len(sentence), 100)
        self.assertGreater(len(black), 100)
        sx = [x for x, _ in sentence]
        bx = [x for x, _ in black]
        self.assertAlmostEqual((min(sx) + max(sx)) / 2, 250, delta=3, msg="sentence centred on 250")
        self.assertAlmostEqual((min(bx) + max(bx)) / 2, 230, delta=3, msg="black name centred on 230")
        self.assertAlmostEqual(sum(y for _, y in black) / len(black), 148, delta=2)
        self.assertLess(min(sx), min(bx) - 30, "grey words before the black name")
        self.assertGreater(max(sx), max(bx) + 30, "grey words after it")
        self.s.screenshot("welcome-checked")

    def test_footer_text(self):
        footer = self.text_pixels((1, 303, 244, 323), GREY)
        self.assertGreater(len(footer), 100, "grey footer sentence left of the licence link")
        self.assertLessEqual(min(x for x, _ in footer), 14, "left-aligned at x 10")
        self.assertAlmostEqual(sum(y for _, y in footer) / len(footer), 313, delta=2)
        self.assertEqual(self.text_pixels((1, 303, 244, 323), BLACK), [])


class TestMouse(WindowCase):
    def moved_by(self, s, before, delta):
        expected = [before[0] + delta[0], before[1] + delta[1], before[2] + delta[0], before[3] + delta[1]]
        return s.wait_for(lambda: s.main_window()["rect"] == expected and expected, 3, what="the window at %s" % expected)

    def assertNoMessageBox(self, s):
        self.assertEqual(s.msgboxes(), [])

    def test_drag_by_a_free_point_of_the_face(self):
        s, app, w = self.open()
        left, top = self.origin(w)
        s.drag((left + 100, top + 100), (40, 30))
        self.moved_by(s, w["rect"], (40, 30))
        s.screenshot("dragged")

    def test_points_beside_the_glyphs_drag(self):
        s, app, w = self.open()
        rect = w["rect"]
        for point, delta in (((450, 15), (-30, 20)), ((485, 23), (25, -15)), ((455, 24), (10, 10))):
            with self.subTest(point=point):
                s.drag((rect[0] + point[0], rect[1] + point[1]), delta)
                rect = self.moved_by(s, rect, delta)
                self.assertFalse(s.main_window()["iconic"])
                self.assertNoMessageBox(s)

    def test_minimise_glyph(self):
        s, app, w = self.open()
        left, top = self.origin(w)
        s.click(left + 455, top + 15)
        iconic = s.wait_for(lambda: [x for x in s.windows(cls="MORVELTSETUP") if x["iconic"]], 3, what="minimised")[0]
        self.assertEqual(iconic["rect"][:2], [-32000, -32000], "a minimised window is parked off-screen")
        self.assertTrue(app.running)
        self.assertNoMessageBox(s)

    def test_minimise_glyph_takes_the_window_off_the_desktop(self):
        # Without a window manager Wine leaves a minimised window's X window drawn; on Wine's
        # explorer desktop it really leaves the screen.
        s, app, w = self.open(desktop=True)
        left, top = self.origin(w)
        before = s.screenshot("before").crop(left, top, WIDTH, HEIGHT)
        self.assertGreater(before.count((1, 30, 499, 329), FACE), 100_000)
        s.click(left + 455, top + 15)
        s.wait_for(lambda: [x for x in s.windows(cls="MORVELTSETUP") if x["iconic"]], 3, what="minimised")
        after = s.screenshot("minimised").crop(left, top, WIDTH, HEIGHT)
        self.assertLess(after.count((1, 30, 499, 329), FACE), 100, "the face is gone from the screen")
        self.assertTrue(app.running)

    def test_click_between_the_glyphs_does_nothing(self):
        s, app, w = self.open()
        left, top = self.origin(w)
        s.click(left + 470, top + 15)
        time.sleep(0.5)
        after = s.main_window()
        self.assertEqual(after["rect"], w["rect"])
        self.assertFalse(after["iconic"])
        self.assertNoMessageBox(s)
        self.assertTrue(app.running)

    def test_close_glyph_asks_and_no_keeps_the_window(self):
        s, app, w = self.open()
        s.wait_requests("/wp-json/hlv/api", 1)
        left, top = self.origin(w)
        s.click(left + 485, top + 15)
        box = s.wait_msgbox()
        s.screenshot("close-question")
        self.assertEqual(box["title"], CAPTION)
        self.assertEqual(box["text"], "Are you sure you want abort MORVELT installation?")
        self.assertEqual(box["icon"], "question")
        self.assertEqual([b["text"] for b in box["buttons"]], ["Yes", "No"])
        self.assertEqual(box["owner"], w["hwnd"])
        self.assertEqual(box["pid"], w["pid"])
        s.press("No")
        s.wait_for(lambda: not s.msgboxes(), 3, what="the question to close")
        after = s.main_window()
        self.assertTrue(after["visible"])
        self.assertEqual(after["rect"], w["rect"])
        self.assertTrue(app.running)
        time.sleep(0.5)
        self.assertEqual([r["target"] for r in s.requests() if "type=1" not in r["target"]], [],
                         "answering No reports nothing")

    def test_close_glyph_yes_aborts_and_exits_with_0(self):
        # On Wine's own desktop: on a bare display hiding the box and the window takes 2 s each,
        # which uses up the abort's time for its report (a delay no Windows has).
        s, app, w = self.open(desktop=True)
        started = s.wait_requests("/wp-json/hlv/api", 1)[0]
        session_id = re.search(r"session=([^&]*)", started["target"]).group(1)
        left, top = self.origin(w)
        s.click(left + 485, top + 15)
        s.wait_msgbox()
        s.press("Yes")
        self.assertEqual(app.wait(10), 0, "the process ends with exit code 0")
        targets = [r["target"] for r in s.requests("/wp-json/hlv/api")]
        self.assertEqual(targets[1:], ["/wp-json/hlv/api?r=41&session=%s&webinst=true&type=9" % session_id])

    def test_hand_cursor_over_the_links_only(self):
        s, app, w = self.open()
        left, top = self.origin(w)
        for point, expected, where in [((100, 100), "arrow", "the face"), ((300, 312), "hand", "the licence link"),
                                       ((420, 312), "hand", "the privacy link"), ((250, 60), "arrow", "the logo"),
                                       ((380, 318), "hand", "the licence link past its text"),
                                       ((250, 250), "arrow", "the button")]:
            with self.subTest(over=where):
                self.assertEqual(s.cursor_at(left + point[0], top + point[1], expected), expected)


class TestSwitches(WindowCase):
    """Which switches start an attempt at once: seen on the button and the progress bar, and on
    the server, which gets the install-started report and the package lookup."""

    def run_variants(self, variants, check):
        s = self.session()
        # A slow lookup keeps an attempt in its first phase while the window is looked at.
        s.set_lookup(b"MORVELT_2.0_Setup.exe", delay=60)
        for args in variants:
            with self.subTest(args=" ".join(args) or "(none)"):
                before = len(s.requests())
                app = s.start_installer(*args)
                try:
                    s.main_window()
                    check(s, app, before)
                finally:
                    app.kill()
                    s.wait_no_window()

    def test_attempt_starts_at_once(self):
        def check(s, app, before):
            disabled = s.wait_for(lambda: not self.button(s)["enabled"], 3, what="the button disabled")
            self.assertTrue(disabled)
            self.assertTrue(self.progress(s)["marquee"], "the bar runs as a marquee during the attempt")
            s.wait_for(lambda: [r for r in s.requests()[before:] if r["target"].startswith("/index.php?option=com_hlvauth")],
                       10, what="the package lookup")
            types = [re.search(r"type=(\d+)", r["target"]).group(1) for r in s.requests()[before:]
                     if r["target"].startswith("/wp-json")]
            self.assertIn("0", types, "install-started report")
        self.run_variants([["/i"], ["/install"], ["/i", "/l"], ["/l", "/i"], ["/c"], ["D:/cache/x"]], check)

    def test_no_attempt_without_an_install_switch(self):
        def check(s, app, before):
            time.sleep(1.0)
            self.assertTrue(self.button(s)["enabled"])
            self.assertFalse(self.progress(s)["marquee"])
            targets = [r["target"] for r in s.requests()[before:]]
            self.assertFalse([t for t in targets if not re.search(r"type=1$", t)], targets)
        self.run_variants([[], ["/C"], ["/I"], ["/L"], ["/l"], ["/x", "install"]], check)


if __name__ == "__main__":
    unittest.main()
