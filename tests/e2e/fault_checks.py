"""Shared checks of the download and package fault scenarios: what is left on the prefix's disk,
what the download service reported to the installer, and the close that ends a failed attempt.

The disk is compared as a set of files under drive_c before and after: a fault must create
nothing but what the download service and the fakes' logs account for, and delete nothing at all.
"""

import os
import re

import net_support as net
from install_support import DOWNLOAD_FAILED, INSTALL_BUTTON, PBST_ERROR, InstallCase, request_kind

# The installer's status texts, its Wine trace of drawing and of the download service's calls.
TRACE_DOWNLOAD = "+timestamp,+text,trace+urlmon"

PROGRAM_FILES_VENDOR = "Program Files (x86)/Quorbin"
PRODUCT_KEY = "HKLM\\SOFTWARE\\Halvaren\\Quorbin Vantrelisk"

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
        size in the temporary folder; and no product installed unless installed is set."""
        after = disk(s)
        created, deleted = changes(before, after)
        self.assertEqual(deleted, [], "nothing deleted")
        package = self.temp_rel(s)
        if package_size is None:
            self.assertNotIn(package, after, "no package file in the temporary folder")
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

