"""Event reports as the vendor's server receives them: the start-up report of every run mode, and
the reports of whole install attempts in order, with their query numbers, extra fields and the
headers the installer's HTTP client sends."""

import math
import time
import unittest

import net_support as net
from harness import Session
from install_support import package_file

STARTUP_FOLDER = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"

# What WinHTTP adds by itself to a request without additional headers, as Wine 8 sends it.
CLIENT_HEADERS = {"User-Agent", "Host", "Connection"}


class ReportCase(unittest.TestCase):
    def assertPlainVendorRequest(self, r):
        """A GET to the vendor's server over the client's default HTTP version, with the user agent
        and nothing but what the client adds by itself."""
        self.assertEqual(r["method"], "GET", r["raw"])
        self.assertEqual(r["version"], "HTTP/1.1", r["raw"])
        self.assertEqual(r["host"], "localhost", r["raw"])
        self.assertEqual(r["headers"].get("User-Agent"), net.USER_AGENT, r["headers"])
        self.assertEqual(set(r["headers"]), CLIENT_HEADERS, r["headers"])
        self.assertEqual(r["headers"]["Connection"], "Keep-Alive")

    def assertReport(self, r, r_value, session, code, extras=()):
        """r=, session=, webinst=true, type= in this order, then exactly the given extra fields."""
        fields = net.query_fields(r["target"])
        self.assertTrue(r["target"].startswith(net.API + "?"), r["target"])
        self.assertEqual(fields[:4], [("r", str(r_value)), ("session", session), ("webinst", "true"),
                                      ("type", str(code))], r["target"])
        self.assertEqual([name for name, _ in fields[4:]], list(extras), r["target"])
        self.assertPlainVendorRequest(r)
        return dict(fields[4:])

    def reports_of(self, records):
        return [r for r in net.requests_of(records) if r["target"].startswith(net.API)]


class TestSetupStarted(ReportCase):
    def test_one_start_report_in_every_run_mode(self):
        with Session(self) as s:
            sessions = []
            script = s.host_path(STARTUP_FOLDER + "\\MORVELT_SETUP.bat")
            # Plain start, launch switch, automatic install, and the restart-pending start that a
            # resume script left from an earlier run brings about.
            for mode, args in (("plain", ()), ("launch", ("/l",)), ("install", ("/i",)), ("pending", ())):
                with self.subTest(mode=mode):
                    if mode == "pending":
                        script.parent.mkdir(parents=True, exist_ok=True)
                        script.write_bytes(b'start "MORVELT" "C:\\Downloads\\MORVELTSetup.exe" /c\r\nexit\r\n')
                    since = len(s.server_log())
                    s.set_download("*", file=s.fake("package_fake.exe"))
                    app = s.start_installer(*args, env={"MORVELT_FAKE_EXIT": "3", "MORVELT_FAKE_NOINSTALL": "1"})
                    s.main_window()
                    started = s.wait_for(
                        lambda: [r for r in self.reports_of(s.server_log()[since:]) if r["target"].endswith("&type=1")],
                        15, what="the start-up report")
                    if mode == "install":
                        # The attempt runs beside the start-up report; let it end first.
                        s.wait_for(lambda: net.final_reports(s, since), 20, what="the attempt's final report")
                    elif mode == "pending":
                        box = s.wait_msgbox(15)
                        self.assertEqual([b["text"] for b in box["buttons"]], ["Yes", "No"], box)
                        s.press("No")
                    time.sleep(1.0)  # room for a second start-up report that must not come
                    records = s.server_log()[since:]
                    reports = self.reports_of(records)
                    starts = [r for r in reports if r["target"].endswith("&type=1")]
                    self.assertEqual(len(starts), 1, [r["raw"] for r in reports])
                    session = dict(net.query_fields(started[0]["target"]))["session"]
                    self.assertRegex(session, net.UUID)
                    self.assertReport(starts[0], 41, session, 1)
                    self.assertTrue(starts[0]["raw"].endswith("&webinst=true&type=1 HTTP/1.1"), starts[0]["raw"])
                    for r in reports:
                        self.assertEqual(dict(net.query_fields(r["target"]))["session"], session, r["raw"])
                    if mode != "install":
                        self.assertEqual(len(net.requests_of(records)), 1, [r["raw"] for r in net.requests_of(records)])
                    sessions.append(session)
                    app.kill()
                    s.wait_no_window()
            self.assertEqual(len(set(sessions)), len(sessions), "every run makes its own session: %s" % sessions)


class TestAttemptReports(ReportCase):
    PACKAGE_SIZE = 1_000_000
    RATE = 400_000

    def check_attempt(self, records, session, exit_code):
        reqs = net.requests_of(records)
        order = [("report", 0), ("lookup", None), ("download", None), ("report", 2), ("report", 4)]
        kinds = []
        for r in reqs:
            if r["target"].startswith(net.API):
                kinds.append(("report", int(dict(net.query_fields(r["target"]))["type"])))
            elif net.LOOKUP_TARGET.match(r["target"]):
                kinds.append(("lookup", None))
            elif r["target"].startswith(net.DOWNLOAD):
                kinds.append(("download", None))
            else:
                kinds.append(("other", r["target"]))
        self.assertEqual(kinds, order, [r["raw"] for r in reqs])
        started, lookup, download, finished, failed = reqs

        # A fresh worker thread draws the first four values of its own sequence, one per request.
        self.assertReport(started, net.FIRST_DRAWS[0], session, 0)
        self.assertEqual(net.LOOKUP_TARGET.match(lookup["target"]).group(1), str(net.FIRST_DRAWS[1]))
        self.assertPlainVendorRequest(lookup)
        self.assertEqual(download["target"], net.DOWNLOAD + "MORVELT_2.0_Setup.exe")
        self.assertEqual(download["host"], "127.0.0.1")

        extras = self.assertReport(finished, net.FIRST_DRAWS[2], session, 2, ["speed"])
        # "%10.3f": right-aligned in ten characters; on the wire every leading blank is %20.
        blanks, number = net.wire_blanks(extras["speed"])
        self.assertEqual(blanks + len(number), 10, finished["raw"])
        self.assertNotIn(" ", finished["raw"].split(" ")[1], "no raw blank in the target")
        # The average over whole seconds since the start report: the expected size divided by a
        # whole number of seconds; this download lasts about 2.5 s.
        kilobytes = self.PACKAGE_SIZE / 1024
        whole = [n for n in range(1, 10) if math.isclose(float(number) * n, kilobytes, abs_tol=0.01 * n)]
        self.assertTrue(whole, "speed %s is not %.3f kB over whole seconds" % (number, kilobytes))
        self.assertIn(whole[0], (2, 3, 4), "the attempt took about 2.5 s, not %d" % whole[0])

        code = self.assertReport(failed, net.FIRST_DRAWS[3], session, 4, ["code"])["code"]
        self.assertEqual(code, str(exit_code))
        return number

    def test_two_attempts_each_with_a_fresh_sequence(self):
        with Session(self) as s:
            package = net.padded_package(s, self.PACKAGE_SIZE)
            s.set_download("MORVELT_2.0_Setup.exe", file=package, rate=self.RATE)
            # An exit code with its top bit set goes out as a negative decimal.
            app = s.start_installer("/i", env={"MORVELT_FAKE_EXIT": "0x80000005", "MORVELT_FAKE_NOINSTALL": "1",
                                               "WINEDEBUG": "trace+winhttp"})
            s.main_window()
            boxes, first, bar = net.finish_attempt(s, 0)
            self.assertEqual(boxes, [])
            start = [r for r in self.reports_of(first) if r["target"].endswith("&type=1")]
            self.assertEqual(len(start), 1)
            session = dict(net.query_fields(start[0]["target"]))["session"]
            self.assertReport(start[0], 41, session, 1)
            self.check_attempt([r for r in first if r is not start[0]], session, -2147483643)
            self.assertEqual(package_file(s).read_bytes(), package.read_bytes())

            # A click starts the second attempt on a new worker thread: its sequence starts over.
            boxes, second, bar = net.run_attempt(s)
            self.assertEqual(boxes, [])
            self.check_attempt(second, session, -2147483643)
            self.assertEqual(bar["pos"], 200)
            self.assertTrue(app.running)

            # Every request, the lookup included, went through its own session, connection and
            # request handles, the answer drained, and all three closed newest first.
            exchanges = net.http_exchanges(net.installer_trace(app))
            vendor = [r for r in net.requests_of(first + second) if not r["target"].startswith(net.DOWNLOAD)]
            self.assertEqual(len(exchanges), len(vendor))
            by_target = {}
            for ex in exchanges:
                opened = [c for c in ex["calls"] if c[0] == "WinHttpOpenRequest"][0]
                by_target.setdefault(opened[1].split('L"')[2].split('"')[0], []).append(ex)
            for r in vendor:
                # The installer hands the speed's blanks over as blanks; the client escapes them.
                handed = r["target"].replace("%20", " ")
                ex = by_target[handed].pop(0)
                net.check_exchange(self, ex, handed)


if __name__ == "__main__":
    unittest.main()
