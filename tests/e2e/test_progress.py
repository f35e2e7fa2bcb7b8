"""A throttled package download as the user watches it: the percentage, the speed and time-left
line, the expanded layout with the tutorial link after five seconds, and the collapse once the
package is in place; checked on the screen, through the UI driver, in the installer's traced
painting and invalidations, and in what the server recorded."""

import re
import time
import unittest

import net_support as net
from harness import Session
from product import BAND_TEXT, BLACK, DETAIL_TEXT

SIZE = 9_000_000
RATE = 320_000  # about 28 s: the expanded layout lasts long enough for a loaded, emulated machine to look


def rows_of(face, colour, top, bottom):
    """The rows between top and bottom (exclusive) holding pixels of exactly this colour."""
    return [y for y in range(top, bottom) if face.count((0, y, 500, y + 1), colour)]


class TestThrottledDownload(unittest.TestCase):
    def face(self, s, window, label):
        # Not settled: the percentage changes several times a second while the download runs.
        shot = s.screenshot(label, settle=False)
        return shot.crop(window["rect"][0], window["rect"][1], 500, 330)

    def test_texts_layout_and_timing_of_a_download(self):
        with Session(self) as s:
            s.set_download("MORVELT_2.0_Setup.exe", file=net.padded_package(s, SIZE), rate=RATE)
            app = s.start_installer("/i", env={"WINEDEBUG": net.TRACE_ALL})
            w = s.main_window()
            hwnd = {c["text"] or c["class"]: c["hwnd"] for c in w["children"]}
            main, bar_h, button_h, link_h = (w["hwnd"], hwnd["msctls_progress32"], hwnd["Download and Install"],
                                             hwnd["Watch MORVELT Tutorial"])

            # Downloading, still in the normal layout.
            net.wait_trace(s, app, lambda t: any(net.PERCENT.match(d["text"]) for d in t.status_lines()),
                           what="the percentage")
            # The five seconds count from the attempt's start, just before its InstallStarted report.
            # A loaded, emulated machine can take longer than that to look: a look that ends later
            # may find either layout, one that ends sooner must find the normal one.
            began = [r["t"] for r in s.requests() if r.get("kind") == "request" and
                     (r.get("target") or "").endswith("&type=0")][0]
            _, button, bar, link = net.controls(s)
            in_time = time.time() - began < 4.8
            self.assertTrue(bar["marquee"], "the bar runs as a marquee during the download")
            self.assertFalse(button["enabled"])
            if in_time or not link["visible"]:
                self.assertEqual((tuple(bar["rect"]), tuple(button["rect"]), link["visible"]),
                                 (net.BAR_NORMAL, net.BUTTON_NORMAL, False))
                face = self.face(s, w, "downloading")
                if time.time() - began < 4.8:
                    self.assertEqual(rows_of(face, BAND_TEXT, 190, 230), [], "no band line before five seconds")
                    status_rows = rows_of(face, BLACK, 138, 159)
                    self.assertTrue(status_rows and abs((status_rows[0] + status_rows[-1]) / 2 - 148) <= 2,
                                    status_rows)
            else:
                print("the normal layout's look came %.1f s after the start: too late to see it" % (time.time() - began))

            # More than five seconds after the attempt began: the expanded layout.
            # The installer moves the controls one after another: another process may read between
            # two moves, so the look waits for the shown link and the moved bar and button together.
            def expanded():
                c = net.controls(s)
                moved = (tuple(c[1]["rect"]), tuple(c[2]["rect"])) == (net.BUTTON_EXPANDED, net.BAR_EXPANDED)
                return c[3]["visible"] and moved and c
            _, button, bar, link = s.wait_for(expanded, 12, interval=0.2, what="the expanded layout")
            self.assertEqual(tuple(bar["rect"]), net.BAR_EXPANDED)
            self.assertEqual(tuple(button["rect"]), net.BUTTON_EXPANDED)
            self.assertEqual(tuple(link["rect"]), net.TUTORIAL)
            time.sleep(0.3)
            face = self.face(s, w, "expanded")
            band_rows = rows_of(face, BAND_TEXT, 180, 240)
            self.assertTrue(band_rows, "the band line is painted in (30,30,30)")
            self.assertLessEqual(abs((band_rows[0] + band_rows[-1]) / 2 - 209), 2, band_rows)
            self.assertGreater(face.count((0, 195, 500, 224), BAND_TEXT), 100)
            status_rows = rows_of(face, BLACK, 118, 139)
            self.assertTrue(status_rows and abs((status_rows[0] + status_rows[-1]) / 2 - 128) <= 2, status_rows)
            detail_rows = rows_of(face, DETAIL_TEXT, 134, 153)
            self.assertTrue(detail_rows and abs((detail_rows[0] + detail_rows[-1]) / 2 - 143) <= 2, detail_rows)

            # The link works while the download runs: the browser gets a page, the server a report.
            s.click(w["rect"][0] + 250, w["rect"][1] + 227)
            tutorial = s.wait_for(lambda: [r for r in s.requests(net.API) if "&type=10" in r["target"]], 10,
                                  what="the tutorial report")
            self.assertEqual(net.query_fields(tutorial[0]["target"])[0], ("r", "41"))
            s.wait_for(lambda: "url=[" in (s.fake_log("browser") or ""), 10, what="the browser")

            # The package in place and installed: normal layout, success texts.
            s.wait_for(lambda: net.final_reports(s, 0), 30, what="the final report")
            _, button, bar, link = s.wait_for(lambda: (lambda c: c[1]["enabled"] and c)(net.controls(s)), 10,
                                              what="the final state")
            self.assertEqual((tuple(bar["rect"]), tuple(button["rect"]), link["visible"]), (net.BAR_NORMAL, net.BUTTON_NORMAL, False))
            self.assertEqual(button["text"], "Close and Launch MORVELT")
            self.assertEqual((bar["pos"], bar["marquee"]), (200, False))
            face = self.face(s, w, "installed")
            self.assertEqual(rows_of(face, BAND_TEXT, 190, 230), [])

            trace = net.installer_trace(app)
            self.check_texts(trace)
            self.check_invalidations(trace, main, bar_h, button_h, link_h)
            self.check_server(s)

    def check_texts(self, trace):
        status = [d["text"] for d in trace.status_lines()]
        status = status[status.index(net.CONNECTING):]
        folded = [t for i, t in enumerate(status) if i == 0 or t != status[i - 1]]
        percents = [int(net.PERCENT.match(t).group(1)) for t in folded if net.PERCENT.match(t)]
        self.assertEqual(folded[0], net.CONNECTING)
        self.assertEqual(percents[0], 0, "the first sized call writes 0 %")
        self.assertEqual(percents[-1], 100)
        self.assertEqual(percents, sorted(percents), "the percentage never goes back")
        self.assertGreater(len(set(percents)), 50, "the main line follows the whole percentage")
        after = folded[len(folded) - folded[::-1].index("Downloading MORVELT... 100%"):]
        self.assertEqual(after[-1], net.INSTALLED, folded[-5:])

        details = [d for d in trace.detail_lines() if d["t"] >= trace.status_lines()[0]["t"]]
        lines = [net.DETAIL.match(d["text"]) for d in details if d["text"]]
        self.assertTrue(lines and all(lines), [d["text"] for d in details])
        self.assertGreaterEqual(len({m.group(0) for m in lines}), 2, "a new sample every three seconds")
        for m in lines:
            speed, speed_unit, left, left_unit = float(m.group(1)), m.group(2), int(m.group(3)), m.group(4)
            self.assertEqual((speed_unit, left_unit), ("kB", "secs"), m.group(0))
            # Samples span whole seconds, so a 3 s sample can be off by up to a third.
            self.assertTrue(0.6 * RATE / 1024 <= speed <= 1.4 * RATE / 1024, m.group(0))
            self.assertLessEqual(left, SIZE / 1024 / speed + 1, m.group(0))
        self.assertEqual(details[-1]["text"], "", "the detail line is emptied once the package is in place")

    def check_invalidations(self, trace, main, bar_h, button_h, link_h):
        worker = trace.downloads[0]["tid"]
        mine = [r for r in trace.redraws if r["tid"] == worker and r["hwnd"] == main and r["rect"]]
        moves = [m for m in trace.moves if m["tid"] == worker]
        self.assertEqual([(m["hwnd"], m["rect"], m["repaint"]) for m in moves],
                         [(bar_h, net.BAR_EXPANDED, True), (button_h, net.BUTTON_EXPANDED, True),
                          (bar_h, net.BAR_NORMAL, True), (button_h, net.BUTTON_NORMAL, True)],
                         "one expansion per download, one collapse")
        expanded_at, collapsed_at = moves[0]["t"], moves[2]["t"]
        created_at = mine[0]["t"]
        self.assertEqual(mine[0]["rect"], (0, 98, 500, 183), "the constructor invalidates the status band")
        self.assertTrue(all("RDW_ERASE" in r["flags"] for r in mine), "every invalidation erases")
        # Whole seconds: the first progress call with more than five whole seconds since the
        # attempt's DownloadStatus was made, i.e. between 5 and 7 s of real time.
        self.assertTrue(5.0 < expanded_at - created_at < 7.5, expanded_at - created_at)

        whole = [r for r in mine if r["rect"] == (0, 0, 500, 330)]
        self.assertEqual(len(whole), 2, "expansion and collapse invalidate the whole window")
        self.assertTrue(expanded_at <= whole[0]["t"] < collapsed_at <= whole[1]["t"])
        link = [r for r in trace.redraws if r["tid"] == worker and r["hwnd"] == link_h and r["rect"]]
        self.assertEqual([r["rect"] for r in link], [(0, 0, 500, 330)])

        # From the first progress call on. Before it the worker invalidates the band once more when
        # it has made the new instance current: the same millisecond as the constructor's, or the
        # next one, so the progress call is the dividing line, not the constructor's stamp.
        first_call = trace.progress_calls[0][0]
        during = [r for r in mine if first_call <= r["t"] < collapsed_at]
        normal = [r["rect"] for r in during if r["t"] < expanded_at]
        expanded = [r["rect"] for r in during if r["t"] > expanded_at]
        status_band = [r for r in normal if r == (0, 98, 500, 183)] + [r for r in expanded if r == (0, 58, 500, 143)]
        detail_band = [r for r in during if r["rect"] in ((0, 133, 500, 193), (0, 93, 500, 153))]
        self.assertEqual(set(normal) - {(0, 98, 500, 183), (0, 133, 500, 193)}, set(), normal)
        self.assertEqual(set(expanded) - {(0, 58, 500, 143), (0, 93, 500, 153), (0, 0, 500, 330)}, set(), expanded)
        # One per whole percent, 0 to 100, however often the download service calls.
        sized = [c for c in trace.progress_calls if c[2] and c[0] < collapsed_at]
        self.assertGreater(len(sized), 150, "the service reports per chunk at this rate")
        self.assertLessEqual(len(status_band), 101)
        self.assertGreater(len(status_band), 50)
        self.assertGreaterEqual(len(detail_band), 2)
        gaps = [b["t"] - a["t"] for a, b in zip(detail_band, detail_band[1:])]
        self.assertTrue(all(g > 2.0 for g in gaps), "at most one sample per three whole seconds: %s" % gaps)
        first_percent = during[0]["t"]
        self.assertTrue(2.0 < detail_band[0]["t"] - first_percent < 4.5, detail_band[0]["t"] - first_percent)

        band_lines = [d for d in trace.draws if d["text"] == net.ALMOST_DONE]
        self.assertTrue(band_lines)
        self.assertTrue(all(expanded_at <= d["t"] <= collapsed_at + 0.5 for d in band_lines))
        self.assertEqual({d["rect"] for d in band_lines}, {(0, 133, 500, 286)})

    def check_server(self, s):
        reqs = s.requests()
        session = dict(net.query_fields(reqs[0]["target"]))["session"]
        worker = [r for r in reqs if not re.search(r"&type=(1|10)$", r["target"])]
        self.assertEqual([r["target"].split("?")[0] for r in worker],
                         [net.API, "/index.php", "/downloads_ls/MORVELT_2.0_Setup.exe", net.API, net.API])
        draws = [int(dict(net.query_fields(r["target"]))["r"]) for r in worker if "?" in r["target"]]
        self.assertEqual(draws, net.FIRST_DRAWS)
        fields = dict(net.query_fields(worker[3]["target"]))
        self.assertEqual(fields["type"], "2")
        blanks, number = net.wire_blanks(fields["speed"])
        self.assertEqual(blanks + len(number), 10)
        # The expected size over the whole seconds from the start report to the end (SIZE / RATE).
        seconds = SIZE / 1024 / float(number)
        self.assertTrue(SIZE / RATE - 1.5 <= round(seconds) <= SIZE / RATE + 2.6 and abs(seconds - round(seconds)) < 0.01,
                        seconds)
        self.assertTrue(worker[4]["target"].endswith("&type=3"), worker[4]["raw"])
        for r in reqs:
            if r["target"].startswith(net.API):
                self.assertEqual(dict(net.query_fields(r["target"]))["session"], session)


if __name__ == "__main__":
    unittest.main()
