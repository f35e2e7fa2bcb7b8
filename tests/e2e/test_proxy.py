"""A network that lets the vendor's server be reached only through the proxy of the user's Internet
settings: the vendor's names lead to an address that refuses connections, and the proxy (on
another address) tunnels to the real test server. The lookup and the reports take the proxy once
the default way cannot reach the server; the download service follows the settings by itself.
Where the server answers directly, the proxy sees nothing of the lookup and the reports."""

import json
import re
import struct
import unittest

import net_support as net
from harness import HERE, PYTHON, ScenarioCase

PROXY = "127.0.0.3:3128"
SCRIPT = "http://%s/proxy.pac" % PROXY
WINHTTP_OPEN = 'L"%s", ' % net.USER_AGENT
# An office's firewall: packets to the vendor's port on the installer's loopback names are dropped
# unanswered (tc's netem is not in every kernel; a blackhole queue behind a filter does the same).
DROP_DIRECT = ["qdisc add dev lo root handle 1: htb default 9", "class add dev lo parent 1: classid 1:1 htb rate 1gbit",
               "qdisc add dev lo parent 1:1 blackhole"] + [
    "filter add dev lo parent 1: protocol %s u32 match %s dst %s match %s dport 443 0xffff flowid 1:1" % (p, m, a, m)
    for p, m, a in (("ip", "ip", "127.0.0.1/32"), ("ipv6", "ip6", "::1/128"))]


def settings_reg(proxy="", script=""):
    """The user's Internet settings as Internet Options stores them: the connection record WinHTTP
    reads, and the older values, which Wine's download service reads. "<-loopback>" keeps Windows
    from leaving the test build's loopback names out of the proxy, as it would by itself."""
    bypass = "<-loopback>"
    flags = 1 | (2 if proxy else 0) | (4 if script else 0)
    record = struct.pack("<III", 0x46, 0, flags)
    for text in (proxy, bypass if proxy else "", script):
        record += struct.pack("<I", len(text)) + text.encode()
    key = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
    return ('Windows Registry Editor Version 5.00\n\n[%s\\Connections]\n"DefaultConnectionSettings"=hex:%s\n\n'
            '[%s]\n"ProxyEnable"=dword:00000001\n"ProxyServer"="%s"\n"ProxyOverride"="%s"\n"AutoConfigURL"="%s"\n'
            % (key, ",".join("%02x" % b for b in record), key, PROXY, bypass, script))


class TestUsersProxy(ScenarioCase):
    def proxy_session(self, upstream):
        """A session with the office's proxy running, tunnelling to the test server at upstream."""
        s = self.session(server_hosts=None if upstream == "127.0.0.1" else upstream)
        s.set_download("*", file=s.fake("package_fake.exe"))
        s.proxy_log, ready, s.demand = s.dir / "proxy.jsonl", s.dir / "proxy.ready", s.dir / "proxy.demand"
        s.popen([PYTHON, HERE / "connect_proxy.py", *PROXY.split(":"), upstream, s.proxy_log, ready, s.demand],
                name="proxy")
        s.wait_for(ready.exists, 10, what="the proxy")
        return s

    def proxied_install(self, s, settings):
        """One install under the given settings; what the proxy was asked for meanwhile and the
        installer's WinHTTP calls."""
        s.import_reg(settings_reg(**settings))
        since, asked = len(s.server_log()), len(s.proxy_log.read_text().splitlines()) if s.proxy_log.exists() else 0
        app, outcome, _ = self.run_attempt(s, env={"WINEDEBUG": "trace+winhttp,+timestamp",
                                                   "MORVELT_FAKE_NOINSTALL": "1"})
        self.assertEqual(outcome, "installed")
        s.wait_for(lambda: net.final_reports(s, since), 20, what="the final report")
        self.check_reports(net.requests_of(s.server_log()[since:]))
        app.kill()
        s.wait_no_window()
        tunnels = [json.loads(line)["target"] for line in s.proxy_log.read_text().splitlines()[asked:]]
        return tunnels, net.installer_trace(app).winhttp

    def check_reports(self, requests):
        """Start-up report, then the attempt's requests in order, each with the query number the
        per-thread sequence gives it: a try that could not reach the server sent nothing, so the request
        that got through carries the number drawn for it."""
        seen = []
        for r in requests:
            # Under Wine, a request through the proxy's tunnel names the whole address (a Windows-vs-Wine row).
            r = dict(r, target=re.sub(r"^https://[^/]+", "", r["target"]))
            if r["target"].startswith(net.API):
                fields = dict(net.query_fields(r["target"]))
                seen.append((fields["type"], int(fields["r"])))
            elif net.LOOKUP_TARGET.match(r["target"]):
                seen.append(("lookup", int(net.LOOKUP_TARGET.match(r["target"]).group(1))))
            else:
                seen.append(("download", r["target"]))
        self.assertIn(("1", 41), seen)
        seen.remove(("1", 41))
        draws = net.FIRST_DRAWS
        self.assertEqual(seen, [("0", draws[0]), ("lookup", draws[1]), ("download", net.DOWNLOAD + "MORVELT_2.0_Setup.exe"),
                                ("2", draws[2]), ("3", draws[3])])

    def test_a_server_answering_directly_is_reached_directly(self):
        s = self.proxy_session("127.0.0.1")
        tunnels, calls = self.proxied_install(s, {"proxy": PROXY})
        self.assertNotIn("localhost:443", tunnels)
        opens = [c["args"] for c in calls if c["fn"] == "WinHttpOpen" and "args" in c]
        self.assertEqual(len(opens), 5, opens)
        self.assertTrue(all(a.startswith(WINHTTP_OPEN + "0, (null), (null)") for a in opens), opens)
        # The download service follows the user's settings, whichever way the installer's own go.
        self.assertIn("127.0.0.1:443", tunnels)

    def test_only_the_proxy_leads_to_the_server(self):
        # The test build's vendor name, localhost, leads to 127.0.0.1 and ::1, where nothing listens.
        s = self.proxy_session("127.0.0.2")
        # A 407 is never the vendor's answer. A proxy that wants a password (Basic: the installer has
        # none) is no way out. Wine shows the installer no proxy's 407, only the far end's (table rows):
        # an NTLM demand there is answered once with the user's logon on the same request (one query
        # number); the second 407 is a refusal, and the other way (refused here) is tried.
        s.import_reg(settings_reg(proxy=PROXY))
        s.set_lookup(b"MORVELT_P", status=407, headers={"Proxy-Authenticate": "NTLM"})
        for demand, logons in (("Basic keep", 0), ("Basic close", 0), ("", 1)):
            with self.subTest(demand=demand):
                s.demand.write_text(demand)
                since = len(s.server_log())
                app, outcome, _ = self.run_attempt(s, timeout=15, env={"WINEDEBUG": "trace+winhttp"})
                targets = [re.sub(r"^https://[^/]+", "", r["target"]) for r in net.requests_of(s.server_log()[since:])]
                lookups = {t for t in targets if net.LOOKUP_TARGET.match(t)}
                self.assertEqual((outcome, [b["text"] for b in s.msgboxes()], len(lookups),
                                  targets.count(min(lookups, default=0)), net.DOWNLOAD in "".join(targets)),
                                 ("question", [net.DOWNLOAD_FAILED], logons, 2 * logons, False), targets)
                trace = net.installer_trace(app).winhttp
                creds = [c["args"][10:] for c in trace if c["fn"] == "WinHttpSetCredentials"]
                self.assertEqual(creds, ["1, 0x2, (null), 00000000, 00000000"] * logons)
                app.kill()
                s.wait_no_window()
        s.demand.unlink()
        s.set_lookup(b"MORVELT_2.0_Setup.exe")
        # A script address in the user's settings is anyone's to write; the elevated installer
        # leaves its run to the system's resolver service, which Wine does not have (a
        # Windows-vs-Wine row): here, as on Windows 7, the script is never fetched nor run.
        # Last, an office's firewall: direct connections get no answer at all.
        for settings in ({"proxy": PROXY}, {"proxy": PROXY, "script": SCRIPT}, {"proxy": PROXY, "dropped": 1}):
            with self.subTest(**settings):
                dropped = settings.pop("dropped", 0)
                for rule in DROP_DIRECT * dropped:
                    s.run(["tc"] + rule.split(), check=True)
                tunnels, calls = self.proxied_install(s, settings)
                # WinHTTP keeps a tunnel open for the next request, so there are fewer than requests.
                self.assertIn("localhost:443", tunnels)
                self.assertIn("127.0.0.1:443", tunnels)
                self.assertNotIn("/proxy.pac", tunnels)
                self.assertNotIn("WinHttpGetProxyForUrl", {c["fn"] for c in calls})
                opens = [c["args"] for c in calls if c["fn"] == "WinHttpOpen" and "args" in c]
                direct = [a for a in opens if a.startswith(WINHTTP_OPEN + "0,")]
                proxied = [a for a in opens if a == WINHTTP_OPEN + '3, L"%s", L"<-loopback>", 0' % PROXY]
                # The start-up report and the attempt's first report may both try the default way
                # at once; once the proxy got through, nothing tries the default way again.
                self.assertIn(len(direct), (1, 2), opens)
                self.assertEqual(len(proxied), 5, opens)
                bounded = [c["args"] for c in calls if c["fn"] == "WinHttpSetTimeouts" and "args" in c]
                self.assertEqual(len([b for b in bounded if b.endswith(", 10000, 5000, 30000, 30000")]), len(direct),
                                 bounded)
                # Each thread's first answer within 15 s of its first try (the attempt's, the start-up
                # report's); where direct connections are dropped, the default way waited out its bound.
                for tid in {c["tid"] for c in calls if c["fn"] == "WinHttpSetTimeouts"}:
                    at = {fn: [c["t"] for c in calls if c["tid"] == tid and c["fn"] == fn and "args" in c]
                          for fn in ("WinHttpOpen", "WinHttpSendRequest", "WinHttpQueryHeaders")}
                    answered, direct = (at["WinHttpQueryHeaders"][0] - at["WinHttpOpen"][0],
                                        at["WinHttpOpen"][1] - at["WinHttpSendRequest"][0])
                    self.assertTrue(answered < 15 and (4.9 < direct < 11 if dropped else direct < 4.9), (answered, direct))

if __name__ == "__main__":
    unittest.main()
