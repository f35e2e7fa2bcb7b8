"""Faults of the package download: a connection dropped part-way, a transfer that stalls until
the user aborts, an empty package, a size beyond 4 GiB announced, and a Content-Length smaller
than the package sent; one fault-table row each, and checking what the user sees, what the server
recorded, and what is left in the prefix: the package file as the download service left it,
gone once the window is closed, and nothing else created or deleted.
Also the connection closed long before a 400 MB announced size, watched in the expanded layout:
what the speed line showed, and that the failure restores the normal layout.

Seen under Wine 8: for a connection reset mid-transfer the download service either answers
success (it copies what arrived to the target file, and the installer's own size check turns the
fragment into a failed download) or, when the reset reaches it as an error, never returns, like a
stalled transfer, until the user aborts; which of the two happens is a race, so the drop scenario
takes whichever comes and says which. The service hands on 2147483647 as the expected total for
every announced size of 2^31 bytes or more, and keeps each transfer, whole or partial, in its own
download cache."""

import math
import time
import unittest
from pathlib import Path
from urllib.parse import unquote

import fault_table
import net_support as net
from harness import Session
from fault_checks import TRACE_DOWNLOAD, FaultCase, disk
from install_support import (
    CONNECTING, DOWNLOAD_FAILED, INSTALLING, NOT_INSTALLED, PACKAGE, abort_detail, compress_downloads, field,
    request_kind, with_brief)

# What Wine's download service passes as the maximum for any Content-Length of 2^31 or more.
WINE_SIZE_CEILING = 2**31 - 1
# Wine's trace when a reset reaches the download service as ERROR_INTERNET_CONNECTION_ABORTED.
UNHANDLED_DROP = "fixme:urlmon:HttpProtocol_on_error Not handling error 12030"


def rule_percent(progress, maximum):
    return int(progress / maximum * 100.0)


def detail_fits(text, maximum, progresses):
    """Whether a painted detail line is the one the progress rules give for the maximum and one of
    the progress values, at the speed it shows (rounded to one decimal): the unit of the speed, the
    seconds left from the unsigned 32-bit bytes left, and minutes above 100 seconds."""
    m = net.DETAIL.match(text)
    if not m:
        return False
    shown, speed_unit, left, time_unit = float(m.group(1)), m.group(2), int(m.group(3)), m.group(4)
    if speed_unit == "MB" and shown < 1.0:
        return False
    kb = shown * 1024 if speed_unit == "MB" else shown
    half = 0.05 * (1024 if speed_unit == "MB" else 1)
    if (speed_unit == "kB" and kb - half > 1024.0) or kb <= half:
        return False  # the wrong unit, or a speed too slow to tell the seconds from
    for p in progresses:
        remaining = (maximum - p) % 2**32
        fastest, slowest = kb + half, kb - half
        for secs in range(int(remaining / 1024 / fastest), int(remaining / 1024 / slowest) + 1):
            value, unit = (secs // 60, "mins") if secs > 100 else (secs, "secs")
            if (value, unit) == (left, time_unit):
                return True
    return False


class TestDroppedConnection(FaultCase):
    SIZE = 2_000_000
    RATE = 1_000_000

    def test_dropped_at_10_and_90_percent(self):
        s = self.closing_session()
        s.set_lookup(PACKAGE.encode())
        for percent in (10, 90):
            with self.subTest(dropped_at=percent):
                self.dropped(s, percent)

    def dropped(self, s, percent):
        row = fault_table.Row(self, "connection dropped at %d %% of the package" % percent)
        drop = self.SIZE * percent // 100
        s.set_download(PACKAGE, size=self.SIZE, rate=self.RATE, drop_after=drop)
        before = disk(s)
        since = len(s.requests())
        run = self.start(s, "/i", env={"WINEDEBUG": TRACE_DOWNLOAD})
        t0 = time.monotonic()
        # Wine's download service either returns from the drop (success, with the fragment copied to
        # the target) or, when the reset reaches it as error 12030, leaves that error unhandled and
        # never returns: its own trace says which.
        outcome = s.wait_for(lambda: ("returned" if [b for b in s.msgboxes() if b["text"] == DOWNLOAD_FAILED]
                                      else "hung" if UNHANDLED_DROP in self.trace_text(run) else None),
                             30, interval=0.15, what="the download's end or its hang")
        ended_after = time.monotonic() - t0
        calls = [c for c in self.progress_calls(run) if c[2]]
        self.assertEqual({c[2] for c in calls}, {self.SIZE}, "the announced size is the maximum")
        self.assertLessEqual(calls[-1][1], drop)
        done = s.wait_for(lambda: [r for r in s.server_log() if r["kind"] == "done" and r["how"] == "dropped"
                                   and r["sent"] == drop and r["t"] > s.requests()[since]["t"]], 10,
                          what="the server's drop")[0]
        if outcome == "returned":
            self.assertEqual(calls[-1][1], drop, "the last progress call saw what arrived before the drop")
            seen = self.returned(s, run, percent, drop, before, since)
        else:
            seen = self.hung(s, run, percent, before, since)
        row.seen("%s %.1f s after the start; %s" % (outcome, ended_after, seen))
        self.assertFalse(self.package_file(s).exists(), "no package file left once the window closed")
        self.noteCache(row, self.assertDiskAfter(s, before), before)
        self.assertEqual(self.package_log(s), "", "the fragment never ran")
        self.assertLess(done["t"], s.requests()[-1]["t"], "the drop came before the abort report")
        row.lost("nothing")
        return outcome

    def trace_text(self, run):
        return Path(run.app.stdout_path).read_text(errors="replace")

    def returned(self, s, run, percent, drop, before, since):
        """The drop came back as success; the installer's size check makes it a failed download."""
        box = [b for b in s.msgboxes() if b["text"] == DOWNLOAD_FAILED][0]
        self.assertDownloadFailedBox(s, box)
        statuses = run.statuses()
        self.assertEqual(statuses[-1], DOWNLOAD_FAILED, statuses)
        self.assertNotIn(INSTALLING, statuses, "the fragment is not run")
        self.assertNotIn(NOT_INSTALLED, statuses)
        shown = net.percents(statuses)
        self.assertTrue(shown and shown == sorted(shown) and shown[-1] <= percent, statuses)
        s.press("OK")
        self.assertFailedState(s, run)
        self.assertEqual(run.details()[-1], "", "the detail line emptied")
        self.assertAttemptRequests(s, since, [0, "lookup", "download"])
        # What the service left at the package path: the fragment, until the window closes.
        self.assertDiskAfter(s, before, package_size=drop)
        c, last = self.close_failed(s, run, 7)
        self.assertEqual(abort_detail(last)[2], percent, last["target"])
        self.assertAttemptRequests(s, since, [0, "lookup", "download", 7])
        return ("'%s' box, last painted %d%%, button back, bar full; reports 0, lookup, download; fragment of %d "
                "bytes kept until the close; close: AbortedDuringDownload comp=%d, gone %.1f s after Yes"
                % (DOWNLOAD_FAILED, shown[-1], drop, percent, c.gone_after))

    def hung(self, s, run, percent, before, since):
        """The service never returns: the window stays responsive and an abort ends it within 3 s."""
        time.sleep(1.0)
        statuses = run.statuses()
        self.assertTrue(net.PERCENT.match(statuses[-1]), statuses)
        self.assertEqual(s.msgboxes(), [], "no box: the attempt is still in its download")
        self.assertNotIn("DownloadBSC_OnStopBinding", self.trace_text(run), "the transfer never ended")
        w, b, p = self.ui(s)
        self.assertFalse(b["enabled"])
        self.assertTrue(p["marquee"])
        # The service copies a transfer to the target only when it ends: nothing there yet.
        self.assertFalse(self.package_file(s).exists())
        c = self.confirm_abort(s, run)
        last = self.assertAbortSound(s, c, 7)
        raw, speed, comp = abort_detail(last)
        calls = [x for x in self.progress_calls(run) if x[2]]
        self.assertEqual(comp, rule_percent(calls[-1][1], self.SIZE), last["target"])
        self.assertAttemptRequests(s, since, [0, "lookup", "download", 7])
        return ("download service hung on the reset (Wine: error 12030 not handled), window responsive, %s; "
                "abort: AbortedDuringDownload comp=%d, gone %.1f s after Yes" % (statuses[-1], comp, c.gone_after))


class TestStalledTransfer(FaultCase):
    SIZE = 2_000_000
    STALL = 600_000  # 30 %

    def test_stall_then_abort(self):
        row = fault_table.Row(self, "transfer stalls at 30 %, then abort")
        s = self.closing_session()
        s.set_lookup(PACKAGE.encode())
        s.set_download(PACKAGE, size=self.SIZE, rate=500_000, stall_after=self.STALL)
        before = disk(s)
        run = self.start(s, "/i", env={"WINEDEBUG": TRACE_DOWNLOAD})
        started = self.wait_kind(s, 0)
        # The service reads in blocks of its own: the last call may fall a part-block short of the stall.
        s.wait_for(lambda: [c for c in self.progress_calls(run) if c[1] > self.STALL - 16384], 20, what="the stall")
        calls = self.progress_calls(run)
        time.sleep(3.0)
        self.assertEqual(len(self.progress_calls(run)), len(calls), "no progress call while the server is silent")
        reached = calls[-1][1]
        self.assertLessEqual(reached, self.STALL)
        percent = rule_percent(reached, self.SIZE)
        statuses = run.statuses()
        self.assertEqual(statuses[-1], "Downloading MORVELT... %d%%" % percent, statuses)
        self.assertEqual(s.msgboxes(), [])
        w, b, p = self.ui(s)
        self.assertFalse(b["enabled"], "no second attempt meanwhile")
        self.assertTrue(p["marquee"])

        c = self.confirm_abort(s, run)
        last = self.assertAbortSound(s, c, 7)
        raw, speed, comp = abort_detail(last)
        self.assertEqual(comp, percent, last["target"])
        self.assertAbortSpeed(run, c, started, self.SIZE, raw, speed, comp)
        # No progress call comes to answer the abort: the worker is ended wherever it waits.
        self.assertAttemptRequests(s, 0, [0, "lookup", "download", 7])
        self.assertEqual(self.package_log(s), "")
        row.seen("stuck at %d%% (%d bytes), window answering, question, Yes: AbortedDuringDownload comp=%d speed=%s, "
                 "gone %.1f s after Yes" % (percent, reached, comp, unquote(raw).strip(), c.gone_after))
        self.noteCache(row, self.assertDiskAfter(s, before), before)
        row.lost("nothing")


class TestPackageSize(FaultCase):
    SHORT = 200_000

    def refused(self, s, run, error_requests=1):
        self.assertDownloadFailedBox(s, self.wait_box(s, DOWNLOAD_FAILED, 40))
        s.press("OK")
        self.assertFailedState(s, run, error_requests)

    def test_empty_package_then_a_shorter_content_length(self):
        s = self.closing_session()
        s.set_lookup(PACKAGE.encode())
        package = s.fake("package_fake.exe").read_bytes()
        self.assertGreater(len(package), self.SHORT)

        empty = fault_table.Row(self, "0-byte package")
        s.set_download(PACKAGE, size=0)
        before = disk(s)
        run = self.start(s, "/i", env={"WINEDEBUG": TRACE_DOWNLOAD})
        # An empty file is no program: a failed download, found before anything is removed or run.
        self.refused(s, run)
        self.assertEqual(run.statuses(), [CONNECTING, DOWNLOAD_FAILED], "no percentage without a size")
        self.assertEqual({c[2] for c in self.progress_calls(run)}, {0})
        reqs = self.assertAttemptRequests(s, 0, [0, "lookup", "download"])
        self.assertEqual(self.served(s, reqs[2])["sent"], 0)
        self.assertEqual(self.package_log(s), "", "nothing ran")
        self.assertDiskAfter(s, before)
        empty.seen("box '%s'; %s; reports 0, lookup, download only; file deleted; button back, bar full"
                   % (DOWNLOAD_FAILED, " -> ".join(run.statuses())))
        empty.lost("nothing")

        short = fault_table.Row(self, "Content-Length %d for a package of %d bytes" % (self.SHORT, len(package)))
        s.set_download(PACKAGE, file=s.fake("package_fake.exe"), content_length=self.SHORT, rate=400_000)
        since = len(s.requests())
        shown_before = len(run.statuses())
        self.click_install(s)
        # Its InstallStarted report, not the disabled button: a slow look can miss an attempt that
        # fails within a second.
        s.wait_for(lambda: [r for r in s.requests()[since:] if request_kind(r) == 0], 20, what="the second attempt")
        # Cut in its last section: no program, so a failed download that runs and removes nothing.
        self.refused(s, run, error_requests=2)
        statuses = run.statuses()[shown_before:]
        self.assertEqual(compress_downloads(statuses), [CONNECTING, "Downloading", DOWNLOAD_FAILED], statuses)
        shown = net.percents(statuses)
        self.assertEqual(shown, sorted(shown))
        self.assertLessEqual(shown[-1], 100)
        calls = [c for c in self.progress_calls(run) if c[2]]
        self.assertEqual({c[2] for c in calls}, {self.SHORT}, "the announced size is the maximum")
        self.assertEqual(calls[-1][1], self.SHORT, "the client stops at the announced size")
        self.assertAttemptRequests(s, since, [0, "lookup", "download"])
        self.assertEqual(self.package_log(s), "", "the cut package was never started")
        self.assertDiskAfter(s, before)
        short.seen("%d%% -> %s; reports 0, lookup, download only; file cut at %d bytes deleted, never started"
                   % (shown[-1], " -> ".join(compress_downloads(statuses)[2:]), self.SHORT))

        # A failed download closes as an abort during the download.
        c, last = self.close_failed(s, run, 7)
        self.assertIn("&webinst=true&type=7", last["target"])
        self.assertFalse(self.package_file(s).exists())
        short.seen(short.data["seen"] + "; close: AbortedDuringDownload, gone %.1f s after Yes" % c.gone_after)
        self.noteCache(short, self.assertDiskAfter(s, before), before)
        short.lost("nothing")


class TestHugeAnnouncedSize(FaultCase):
    # Slow enough that the download service calls back per chunk: at 1 MB/s under an emulated,
    # loaded Wine it called back too seldom for a speed sample.
    RATE = 400_000

    def test_more_than_4_gib_announced(self):
        s = self.closing_session()
        s.set_lookup(PACKAGE.encode())

        # Cut after 6 MB (15 s): long enough for speed samples; the size check fails the download.
        cut = fault_table.Row(self, "Content-Length 2^32 + 1 000 000, cut after 6 MB")
        announced, sent = 2**32 + 1_000_000, 6_000_000
        s.set_download(PACKAGE, size=sent, content_length=announced, rate=self.RATE)
        before = disk(s)
        run = self.start(s, "/i", env={"WINEDEBUG": TRACE_DOWNLOAD})
        box = self.wait_box(s, DOWNLOAD_FAILED, 40)
        self.assertDownloadFailedBox(s, box)
        calls = [c for c in self.progress_calls(run) if c[2]]
        maxima = {c[2] for c in calls}
        self.assertEqual(maxima, {WINE_SIZE_CEILING}, "what the service hands on for %d" % announced)
        statuses = run.statuses()
        self.assertEqual(statuses[-1], DOWNLOAD_FAILED, statuses)
        expected = sorted({rule_percent(c[1], c[2]) for c in calls})
        self.assertEqual(expected, [0])
        self.assertEqual(sorted(set(net.percents(statuses))), expected, statuses)
        details = [d for d in run.details() if d]
        self.assertTrue(details, "a speed sample was shown")
        for d in details:
            self.assertTrue(detail_fits(d, WINE_SIZE_CEILING, [c[1] for c in calls]), d)
        s.press("OK")
        self.assertFailedState(s, run)
        self.assertAttemptRequests(s, 0, [0, "lookup", "download"])
        self.assertDiskAfter(s, before, package_size=sent)
        cut.seen("maximum %d in every progress call; %s; %s; '%s' box, button back"
                 % (WINE_SIZE_CEILING, "/".join(sorted(set(t for t in statuses if net.PERCENT.match(t)))),
                    " ".join(details[-1:]), DOWNLOAD_FAILED))
        cut.lost("nothing")

        # A whole 5 GiB announced and sent at RATE, aborted once a speed sample is shown.
        big = fault_table.Row(self, "Content-Length 5 GiB, aborted mid-transfer")
        size = 5 * 2**30
        s.set_download(PACKAGE, size=size, rate=self.RATE)
        since = len(s.requests())
        shown_before = len(run.details())
        self.click_install(s)
        started = s.wait_for(lambda: [r for r in s.requests()[since:] if request_kind(r) == 0], 10,
                             what="InstallStarted")[0]
        s.wait_for(lambda: [d for d in run.details()[shown_before:] if d], 20, what="a speed sample")
        least = self.progress_calls(run)[-1][1]
        c = self.confirm_abort(s, run)
        last = self.assertAbortSound(s, c, 7)
        raw, speed, comp = abort_detail(last)
        self.assertEqual(comp, 0, last["target"])
        calls = [x for x in self.progress_calls(run) if x[2] and x[0] >= 0]
        self.assertEqual({x[2] for x in calls[-3:]}, {WINE_SIZE_CEILING})
        download = [r for r in s.requests()[since:] if request_kind(r) == "download"][0]
        # The speed is the bytes so far over the whole seconds since the attempt began.
        low = max(1, math.floor(c.pressed_at) - math.floor(started["t"]))
        high = math.floor(c.answered_at + 0.1) - math.floor(run.started_at) + 1
        most = self.RATE * (c.answered_at - download["t"]) + 65536
        self.assertLessEqual(speed, most / 1024 / low + 0.001, (raw, low))
        self.assertGreaterEqual(speed, least / 1024 / high - 0.001, (raw, least, high))
        for d in [d for d in run.details()[shown_before:] if d]:
            self.assertTrue(detail_fits(d, WINE_SIZE_CEILING, [x[1] for x in calls]), d)
        self.assertAttemptRequests(s, since, [0, "lookup", "download", 7])
        self.assertEqual(self.package_log(s), "")
        big.seen("0%%, %s; AbortedDuringDownload comp=0 speed=%s, gone %.1f s after Yes; no package file left"
                 % ([d for d in run.details()[shown_before:] if d][-1], unquote(raw).strip(), c.gone_after))
        self.noteCache(big, self.assertDiskAfter(s, before), before)
        big.lost("nothing")


class TestDownloadCutShort(FaultCase):
    ANNOUNCED = 400_000_000
    # About 14 s, well past the expansion, so that a loaded, emulated machine still looks while the
    # layout is expanded. The speed the line shows counts from before the connection, so on a
    # loaded machine it falls well below the server's rate (seen: 0.99 MB/s at 1.5 MB/s); 2.5 MB/s
    # keeps it in megabytes with room to spare.
    SENT = 35_000_000
    RATE = 2_500_000

    def test_connection_closed_before_the_announced_size(self):
        with Session(self) as s:
            # The server announces 400 MB and closes the connection after 17.5 MB. Wine's download
            # service answers success for that; the installer must still see a failed download.
            s.set_download("MORVELT_2.0_Setup.exe", size=self.SENT, content_length=self.ANNOUNCED, rate=self.RATE)
            app = s.start_installer("/i", env={"WINEDEBUG": "trace+text,trace+win,+timestamp"})
            s.main_window()
            s.wait_for(lambda: net.controls(s)[3]["visible"], 12, interval=0.2, what="the expanded layout")
            box = s.wait_msgbox(20)
            self.assertEqual((box["text"], box["title"], box["icon"]), (net.DOWNLOAD_FAILED, net.CAPTION, "error"))
            # The failure texts and the normal layout are in place before the box asks for OK.
            _, button, bar, link = net.controls(s)
            self.assertEqual((tuple(bar["rect"]), tuple(button["rect"]), link["visible"]), (net.BAR_NORMAL, net.BUTTON_NORMAL, False))
            trace = net.wait_trace(s, app, lambda t: net.DOWNLOAD_FAILED in [d["text"] for d in t.status_lines()],
                                   what="the download-failed status")
            s.press("OK")

            shown = [d["text"] for d in trace.status_lines()]
            self.assertEqual(shown[-1], net.DOWNLOAD_FAILED)
            self.assertNotIn(net.NOT_INSTALLED, shown)
            self.assertNotIn(net.INSTALLING, shown, "the fragment is not run")
            details = trace.detail_lines()
            lines = [net.DETAIL.match(d["text"]) for d in details if d["text"]]
            self.assertTrue(lines and all(lines), [d["text"] for d in details])
            for m in lines:
                # Up to 2.4 MB/s with about 380 MB to come: megabytes per second and minutes.
                self.assertEqual((m.group(2), m.group(4)), ("MB", "mins"), m.group(0))
                self.assertTrue(1.0 <= float(m.group(1)) <= 2.5, m.group(0))
                self.assertTrue(2 <= int(m.group(3)) <= 7, m.group(0))
            self.assertEqual(details[-1]["text"], "", "the detail line is emptied")
            self.assertEqual(details[-1]["rect"], (0, 133, 500, 193), "in the normal layout")

            _, button, bar, _ = s.wait_for(lambda: (lambda c: c[1]["enabled"] and c)(net.controls(s)), 10,
                                           what="the final state")
            self.assertEqual((bar["pos"], bar["marquee"]), (200, False))
            time.sleep(1.0)
            reqs = net.requests_of(s.server_log())
            kinds = sorted(r["target"].split("?")[0] + ("?" + r["target"].rsplit("&", 1)[-1] if "?" in r["target"] else "")
                           for r in reqs)
            # No DownloadFinished and no outcome report: a failed download sends nothing.
            self.assertEqual(kinds, ["/downloads_ls/MORVELT_2.0_Setup.exe", "/index.php?file=true",
                                     "/wp-json/hlv/api?type=0", "/wp-json/hlv/api?type=1"], [r["raw"] for r in reqs])
            done = [r for r in s.server_log() if r["kind"] == "done" and r["sent"] == self.SENT]
            self.assertEqual(len(done), 1)
            # What the service left at the package path is its business: here, the fragment.
            self.assertLess(len(self.package_file(s).read_bytes()), self.ANNOUNCED)
            self.assertTrue(app.running)


if __name__ == "__main__":
    unittest.main()
