"""Shared checks of the download and package fault scenarios: what is left on the prefix's disk,
what the download service reported to the installer, and the close that ends a failed attempt.

The disk is compared as a set of files under drive_c before and after: a fault must create
nothing but what the download service and the fakes' logs account for, and delete nothing at all.
"""

import os
import re
import time

import net_support as net
from install_support import (CAPTION, DOWNLOAD_FAILED, FAILING_PACKAGE, INSTALL_BUTTON, INSTALLING, NOT_INSTALLED,
                             PBST_ERROR, InstallCase, request_kind)
from product import PRODUCT_KEY

# The installer's status texts, its Wine trace of drawing and of the download service's calls.
TRACE_DOWNLOAD = "+timestamp,+text,trace+urlmon"

PROGRAM_FILES_VENDOR = "Program Files (x86)/Quorbin"

# Files that come and go under drive_c for reasons of their own: the installer the harness copies
# in to start it, the fakes' logs (the test's own record) and Wine's download cache (the download service keeps each transfer there and copies it
# to the target file when the transfer ends).
_OWN_CHURN = re.compile(r"^(Downloads/MORVELTSetup\.exe$|fakes/log/|users/[^/]+/AppData/Local/Microsoft/Windows/INetCache/|"
                        r"users/[^/]+/AppData/Local/Microsoft/Windows/History/|"
                        r"users/[^/]+/AppData/Local/Microsoft/Windows/INetCookies/)", re.I)


def disk(s):
    """{path relative to drive_c, with "/": size} of every file in the prefix's drive_c."""
    root = s.prefix / "drive_c"
    out = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root).replace(os.sep, "/")
        rel = "" if rel == "." else rel + "/"
        for name in files:
            path = os.path.join(folder, name)
            try:
                out[rel + name] = os.lstat(path).st_size
            except OSError:
                pass  # gone between the listing and the look
    return out


def changes(before, after):
    """(created, deleted) paths between two disk() views, without the churn of the logs and cache."""
    created = sorted(p for p in after if p not in before and not _OWN_CHURN.match(p))
    deleted = sorted(p for p in before if p not in after and not _OWN_CHURN.match(p))
    return created, deleted


def cache_entries(view):
    """The download cache's copies of the package, as {path: size}."""
    return {p: n for p, n in view.items() if "/INetCache/" in p and "MORVELT" in p}


class FaultCase(InstallCase):
    """Checks shared by the fault scenarios."""

    def temp_rel(self, s):
        return os.path.relpath(self.package_file(s), s.prefix / "drive_c").replace(os.sep, "/")

    def assertDiskAfter(self, s, before, package_size=None, installed=False):
        """Nothing deleted; nothing created but, when package_size is given, the package file of that
        size in its folder; and no product installed unless installed is set."""
        after = disk(s)
        created, deleted = changes(before, after)
        self.assertEqual(deleted, [], "nothing deleted")
        package = self.temp_rel(s)
        if package_size is None:
            self.assertFalse([p for p in after if "/MORVELT_PACKAGE" in p], "no package file anywhere")
            expected = []
        else:
            self.assertEqual(after.get(package), package_size, "the package file as the service left it")
            expected = [package] if package not in before else []
        if not installed:
            self.assertEqual([p for p in created if p.startswith(PROGRAM_FILES_VENDOR)], [], "nothing installed")
            self.assertIsNone(s.reg_query(PRODUCT_KEY), "no installation registered")
        self.assertEqual([p for p in created if not p.startswith(PROGRAM_FILES_VENDOR) or not installed], expected,
                         "nothing else created")
        return after

    def assertDownloadFailedBox(self, s, box):
        self.assertBox(box, DOWNLOAD_FAILED, "error", ["OK"], s.main_window())

    def assertAttemptRequests(self, s, since, expected):
        """The worker's requests since `since`, in order; SetupStarted (1) may land among them."""
        kinds = [request_kind(r) for r in s.requests()[since:]]
        self.assertLessEqual(kinds.count(1), 1, kinds)
        self.assertEqual([k for k in kinds if k != 1], expected, kinds)
        return [r for r in s.requests()[since:] if request_kind(r) != 1]

    def served(self, s, request):
        """The server's "done" record of a request (how its body ended), or None."""
        done = [r for r in s.server_log() if r["kind"] == "done" and r["seq"] == request["seq"]]
        return done[0] if done else None

    def assertFailedState(self, s, run, error_requests=1):
        w, b, p = self.wait_attempt_over(s)
        self.assertEqual(b["text"], INSTALL_BUTTON)
        self.assertTrue(b["enabled"])
        self.assertFinalBar(p, PBST_ERROR, run, error_requests)
        self.assertEqual((tuple(p["rect"]), tuple(b["rect"])), (net.BAR_NORMAL, net.BUTTON_NORMAL), "the normal layout")
        link = s.control(w, text="Watch MORVELT Tutorial")
        self.assertFalse(link["visible"], "the tutorial link hidden")
        return w, b, p

    def progress_calls(self, run):
        """(Wine time, progress, maximum) of every progress call the download service made."""
        return net.installer_trace(run.app).progress_calls

    def noteCache(self, row, view, before):
        """Adds to the row what Wine's download cache newly keeps of the package: the service's own
        copy, which the installer neither names nor touches."""
        old = cache_entries(before)
        cached = {p: n for p, n in cache_entries(view).items() if old.get(p) != n}
        if cached:
            row.seen(row.data["seen"] + "; Wine's download cache keeps a copy of %s bytes"
                     % "/".join(str(n) for n in sorted(cached.values())))

    def close_failed(self, s, run, report_type):
        """Closes the window after a failed attempt: the question, Yes, the report of the stage and
        the process gone within 3 s. Returns (Closing, the report)."""
        c = self.confirm_abort(s, run)
        return c, self.assertAbortSound(s, c, report_type)


# ---- the server faults: one process, many attempts ---------------------------------------------

WINEDEBUG = "trace+text,trace+urlmon,+timestamp"

# Files the prefix itself writes while programs run (registry hives live outside drive_c):
# the fakes' logs, the tools the harness copies in, Wine's URL cache and the explorer's state.
WINE_OWN = re.compile(r"^(fakes/log/|e2e/|users/[^/]+/AppData/Local/Microsoft/Windows/(INetCache|History|"
                      r"INetCookies|Temporary Internet Files)/|users/[^/]+/(Temp/)?\.?wine|windows/(?!temp/MORVELT_)|"
                      r"Downloads/MORVELTSetup\.exe$)",
                      re.I)


class ServerFaultCase(InstallCase):
    """One installer process, a click an attempt; the package fake fails (code 3) and installs
    nothing, so every attempt ends with the button offered again."""
    def open(self, s, report_within=20):
        """The installer waiting for a click, its start report received."""
        s.set_download("*", file=s.fake("package_fake.exe"))
        self.run_ = self.start(s, env=dict(FAILING_PACKAGE, WINEDEBUG=WINEDEBUG))
        s.wait_requests(net.API, 1, timeout=report_within)
        self.files_at_start = disk(s)
        return self.run_

    def attempt(self, s):
        """One attempt by a click; returns what it showed, what the server recorded and what it
        left in the temp folder. The package file of an earlier attempt is removed first, so each
        attempt's file is its own."""
        package = self.package_file(s)
        if package.exists():
            package.unlink()
        temp_before = {p.name for p in self.temp_folder(s).iterdir()}
        before = net.installer_trace(self.run_.app)
        errors_before = self.run_.error_state_requests()
        since = len(s.server_log())
        boxes, _, bar_final = net.run_attempt(s)
        time.sleep(0.3)  # a request after the final state would still be recorded
        records = s.server_log()[since:]
        trace = net.installer_trace(self.run_.app)
        reqs = net.requests_of(records)
        w, button, bar_now, link = net.controls(s)
        a = {
            "boxes": boxes, "records": records, "reqs": reqs, "bar": bar_now, "button": button, "link": link,
            "kinds": [request_kind(r) for r in reqs],
            "downloads": [r for r in reqs if request_kind(r) == "download" or not r["target"].startswith(
                ("/wp-json/hlv/api", "/index.php?option=com_hlvauth&r="))],
            "urls": trace.downloads[len(before.downloads):],
            "status": [d["text"] for d in trace.status_lines()[len(before.status_lines()):]],
            "details": [d["text"] for d in trace.detail_lines()[len(before.detail_lines()):]],
            "error_requests": self.run_.error_state_requests() - errors_before,
            # What the attempt left in the user's TEMP, and the package in its own folder.
            "temp_new": ({p.name for p in self.temp_folder(s).iterdir()} - temp_before) |
                        ({package.name} if self.package_file(s).exists() else set()),
            "window": w,
            "bar_final": bar_final,  # as the attempt's end was seen, before the 0.3 s
            "lookups": [r for r in reqs if net.LOOKUP_TARGET.match(r["target"])],
            "served": [r for r in records if r["kind"] == "done"],
            "fixmes": trace.fixmes[len(before.fixmes):],
        }
        return a

    # -- what the user saw --

    def assertFinal(self, a, failed=True):
        self.assertTrue(a["button"]["enabled"], "the button is offered again")
        self.assertEqual(a["button"]["text"], INSTALL_BUTTON)
        self.assertEqual((a["bar"]["range"], a["bar"]["pos"], a["bar"]["marquee"]), ([0, 200], 200, False))
        self.assertFalse(a["link"]["visible"], "normal layout")
        if failed and a["bar"]["state"] != PBST_ERROR:
            # Wine's bar cannot hold the error state; the request for it reached the control once.
            self.assertEqual(a["error_requests"], 1)

    def assertErrorBox(self, a):
        self.assertEqual(len(a["boxes"]), 1, a["boxes"])
        box = a["boxes"][0]
        self.assertEqual((box["text"], box["title"], box["icon"]), (DOWNLOAD_FAILED, CAPTION, "error"))
        self.assertEqual([b["text"] for b in box["buttons"]], ["OK"])

    def assertLookupRefused(self, a, kinds=(0, "lookup")):
        """The lookup failed: the box, "not installed", no download, only InstallStarted and the
        lookup on the server (kinds), nothing in the temp folder."""
        self.assertErrorBox(a)
        self.assertEqual(a["status"][-1], NOT_INSTALLED, a["status"])
        self.assertNotIn(DOWNLOAD_FAILED, a["status"])
        self.assertEqual(a["urls"], [], "the download service was not called")
        self.assertEqual(a["kinds"], list(kinds), [r["raw"] for r in a["reqs"]])
        self.assertEqual(a["temp_new"], set())
        self.assertFinal(a)

    def assertDownloadRefused(self, a, url=""):
        """The name went to the download service as url (empty: refused before), which fetched
        nothing: the download-failed texts and the box; nothing after the lookup on the server."""
        self.assertErrorBox(a)
        self.assertEqual(a["status"][-1], DOWNLOAD_FAILED, a["status"])
        self.assertNotIn(NOT_INSTALLED, a["status"])
        self.assertNotIn(INSTALLING, a["status"])
        self.assertEqual([u["url"] for u in a["urls"]], [url])
        self.assertEqual(a["kinds"], [0, "lookup"], [r["raw"] for r in a["reqs"]])
        self.assertEqual(a["downloads"], [])
        self.assertEqual(a["temp_new"], set(), "no package file or fragment")
        self.assertFinal(a)

    def assertDownloaded(self, s, a, url_name, wire_target):
        """The name reached the download service widened unit for unit, the download host got
        exactly wire_target, the package ran and failed (code 3), and its file stays in the temp
        folder until the window closes."""
        self.assertEqual(a["boxes"], [])
        self.assertEqual([u["url"] for u in a["urls"]], [net.URL_PREFIX + url_name])
        self.assertEqual(len(a["downloads"]), 1, [r["raw"] for r in a["reqs"]])
        self.assertEqual(a["downloads"][0]["target"], wire_target)
        self.assertEqual(a["downloads"][0]["host"], "127.0.0.1")
        self.assertEqual(a["kinds"], [0, "lookup", "download", 2, 4], [r["raw"] for r in a["reqs"]])
        self.assertTrue(a["reqs"][-1]["target"].endswith("&type=4&code=3"), a["reqs"][-1]["raw"])
        self.assertEqual(a["status"][-1], NOT_INSTALLED, a["status"])
        self.assertIn(INSTALLING, a["status"])
        self.assertEqual(a["temp_new"], {"MORVELT_PACKAGE.exe"})
        self.assertEqual(self.package_file(s).read_bytes(), s.fake("package_fake.exe").read_bytes())
        self.assertFalse((self.temp_folder(s) / "MORVELT_PACKAGE.exe").exists(), "nothing in the user's TEMP")
        self.assertFinal(a)

    def lookup_sent(self, a, size):
        """The lookup's answer went out whole (or the client stopped reading it)."""
        lookup = [r for r in a["reqs"] if r["target"].startswith("/index.php?option=com_hlvauth&r=")]
        self.assertEqual(len(lookup), 1)
        self.assertTrue(net.LOOKUP_TARGET.match(lookup[0]["target"]), lookup[0]["target"])
        done = [r for r in a["records"] if r["kind"] == "done" and r["seq"] == lookup[0]["seq"]]
        return done[0] if done else None

    # -- the end of a session --

    def finish_rows(self):
        """Called once the server's record and the disk have been checked for every row."""
        for row in self.rows:
            row.lost("nothing")

    def close_and_check_disk(self, s, limit=10.0):
        """Aborts the idle installer (close glyph, Yes): the process ends within limit seconds
        (without a window manager Wine waits 2 s for each hidden window, so the 3 s bound is kept
        for desktop sessions), the package file is deleted, and nothing else the installer made
        is left in the C: drive."""
        c = self.confirm_abort(s, self.run_)
        self.assertEqual(c.exit_code, 0)
        self.assertLess(c.gone_after, limit, "gone %.2f s after Yes" % c.gone_after)
        self.assertFalse(self.package_file(s).exists(), "the package file is deleted on close")
        after = disk(s)
        created = sorted(p for p in set(after) - set(self.files_at_start) if not WINE_OWN.match(p.replace(os.sep, "/")))
        self.assertEqual(created, [], "files created in C:")
        gone = sorted(p for p in set(self.files_at_start) - set(after) if not WINE_OWN.match(p.replace(os.sep, "/")))
        self.assertEqual(gone, [], "files deleted from C:")
        return c
