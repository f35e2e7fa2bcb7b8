"""The test vendor server itself, spoken to natively over loopback: what the scenarios rely on it
to record and to serve (exact lookup bodies, faults of the package download)."""

import base64
import http.client
import json
import os
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from harness import HERE, PYTHON, make_ca


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerCase(unittest.TestCase):
    timeout = 60

    def setUp(self):
        self.tmp = Path(self.enterContext(tempfile.TemporaryDirectory()))
        self.certs = make_ca(self.tmp / "certs", "selftest")
        self.other = make_ca(self.tmp / "certs", "other")
        self.port = free_port()
        self.config = self.tmp / "server.json"
        self.log = self.tmp / "requests.jsonl"
        self.write_config({})
        ready = self.tmp / "ready"
        self.proc = subprocess.Popen(
            [PYTHON, str(HERE / "vendor_server.py"), "--config", str(self.config), "--log", str(self.log),
             "--cert", str(self.certs["cert"]), "--key", str(self.certs["key"]), "--port", str(self.port),
             "--alt-cert", str(self.other["cert"]), "--alt-key", str(self.other["key"]),
             "--timeout", str(self.timeout), "--ready", str(ready)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop)
        deadline = time.monotonic() + 10
        while not ready.exists():
            self.assertIsNone(self.proc.poll(), "server exited")
            self.assertLess(time.monotonic(), deadline, "server did not start")
            time.sleep(0.02)
        self.listening = json.loads(ready.read_text())["listening"]
        self.context = ssl.create_default_context(cafile=str(self.certs["ca_pem"]))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(5)

    def write_config(self, config):
        tmp = self.config.with_suffix(".tmp")
        tmp.write_text(json.dumps(config))
        os.replace(tmp, self.config)
        time.sleep(0.01)  # a distinct modification time for the server to notice

    def get(self, target, host="localhost", timeout=10):
        conn = http.client.HTTPSConnection(host, self.port, context=self.context, timeout=timeout)
        self.addCleanup(conn.close)
        conn.request("GET", target, headers={"Host": host})
        return conn.getresponse()

    def records(self, kind="request"):
        return [r for r in map(json.loads, self.log.read_text().splitlines()) if r["kind"] == kind]


class TestRecording(ServerCase):
    def test_request_line_recorded_exactly_as_received(self):
        target = "/wp-json/hlv/api?r=41&session=DEFAULT&webinst=true&type=7&speed=%20%20%20%20%2012.500&comp=-1"
        with socket.create_connection(("127.0.0.1", self.port)) as raw:
            with self.context.wrap_socket(raw, server_hostname="localhost") as tls:
                tls.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\nUser-Agent: t\r\n\r\n" % target).encode())
                self.assertIn(b"200 OK", tls.recv(4096))
        time.sleep(0.1)
        r = self.records()[0]
        self.assertEqual(r["raw"], "GET %s HTTP/1.1" % target)
        self.assertEqual((r["method"], r["target"], r["host"]), ("GET", target, "localhost"))

    def test_listens_on_both_loopback_addresses(self):
        self.assertEqual(sorted(self.listening), ["127.0.0.1", "::1"])
        for host in ("127.0.0.1", "::1"):
            with self.subTest(host=host):
                with socket.create_connection((host, self.port)) as raw:
                    with self.context.wrap_socket(raw, server_hostname="localhost") as tls:
                        tls.sendall(b"GET /wp-json/hlv/api?x HTTP/1.1\r\nHost: localhost\r\n\r\n")
                        self.assertIn(b"200 OK", tls.recv(4096))

    def test_connection_without_a_request_is_recorded(self):
        with socket.create_connection(("127.0.0.1", self.port)) as raw:
            with self.context.wrap_socket(raw, server_hostname="localhost"):
                pass
        self.get("/wp-json/hlv/api?after").read()
        time.sleep(0.2)
        self.assertEqual(len(self.records("no_request")), 1)
        self.assertEqual([r["target"] for r in self.records()], ["/wp-json/hlv/api?after"])

    def test_untrusting_client_leaves_a_tls_error_and_no_request(self):
        with socket.create_connection(("127.0.0.1", self.port)) as raw:
            with self.assertRaises(ssl.SSLError):
                ssl.create_default_context().wrap_socket(raw, server_hostname="localhost")
        time.sleep(0.2)
        self.assertEqual(self.records(), [])
        self.assertEqual(len(self.records("tls_error")), 1)


class TestHandshakeByName(ServerCase):
    def handshake(self, name, context=None):
        """True when a TLS handshake asking for name succeeds."""
        with socket.create_connection(("127.0.0.1", self.port)) as raw:
            try:
                with (context or self.context).wrap_socket(raw, server_hostname=name):
                    return True
            except ssl.SSLError:
                return False

    def test_refused_host_name(self):
        # Python sends no server name for an IP address (Wine does), so a made-up name stands in.
        lenient = ssl.create_default_context(cafile=str(self.certs["ca_pem"]))
        lenient.check_hostname = False
        self.write_config({"tls": {"refuse": ["refused.test"]}})
        self.assertFalse(self.handshake("refused.test", lenient))
        self.assertTrue(self.handshake("localhost"))
        self.write_config({})
        self.assertTrue(self.handshake("refused.test", lenient))

    def test_untrusted_host_name(self):
        self.write_config({"tls": {"untrusted": ["localhost"]}})
        self.assertFalse(self.handshake("localhost"))
        other = ssl.create_default_context(cafile=str(self.other["ca_pem"]))
        self.assertTrue(self.handshake("localhost", other), "the other CA's certificate is presented")
        self.write_config({})
        self.assertTrue(self.handshake("localhost"))


class TestLookup(ServerCase):
    def test_bodies_are_served_byte_for_byte(self):
        bodies = {"normal": b"MORVELT_2.0_Setup.exe", "line feed": b"MORVELT_2.0_Setup.exe\n",
                  "zero byte": b"MORV\x00ELT.exe", "2048": b"A" * 2048, "2049": b"B" * 2049, "high byte": b"caf\xe9.exe"}
        for name, body in bodies.items():
            with self.subTest(body=name):
                self.write_config({"lookup": {"body_b64": base64.b64encode(body).decode()}})
                response = self.get("/index.php?option=com_hlvauth&r=41&morvelt=true&info=true&file=true")
                self.assertEqual(response.status, 200)
                self.assertEqual(response.read(), body)

    def test_error_page_and_chunked_pieces(self):
        page = b"<html><body>500 Internal Server Error</body></html>"
        self.write_config({"lookup": {"status": 500, "body_b64": base64.b64encode(page).decode()}})
        response = self.get("/index.php?option=com_hlvauth&r=1")
        self.assertEqual((response.status, response.read()), (500, page))
        self.write_config({"lookup": {"body": "X" * 3000, "chunked": True, "chunk_size": 1000, "chunk_delay": 0.05}})
        response = self.get("/index.php?option=com_hlvauth&r=2")
        self.assertEqual(response.getheader("Transfer-Encoding"), "chunked")
        self.assertEqual(response.read(), b"X" * 3000)


class TestDownloadFaults(ServerCase):
    def test_file_and_synthetic_size(self):
        package = self.tmp / "package.exe"
        package.write_bytes(os.urandom(50_000))
        self.write_config({"downloads": {"pkg.exe": {"file": str(package)}, "*": {"size": 3_000_001}}})
        self.assertEqual(self.get("/downloads_ls/pkg.exe", host="127.0.0.1").read(), package.read_bytes())
        response = self.get("/downloads_ls/big.exe", host="127.0.0.1")
        self.assertEqual(int(response.getheader("Content-Length")), 3_000_001)
        self.assertEqual(len(response.read()), 3_000_001)
        time.sleep(0.1)
        self.assertEqual([d["sent"] for d in self.records("done")], [50_000, 3_000_001])

    def test_rate_limit(self):
        self.write_config({"downloads": {"*": {"size": 60_000, "rate": 40_000}}})
        start = time.monotonic()
        self.assertEqual(len(self.get("/downloads_ls/x").read()), 60_000)
        self.assertGreater(time.monotonic() - start, 1.3, "60 kB at 40 kB/s takes about 1.5 s")

    def test_stall_after_n_bytes(self):
        self.write_config({"downloads": {"*": {"size": 100_000, "stall_after": 30_000}}})
        response = self.get("/downloads_ls/x", timeout=1.5)
        got = b""
        with self.assertRaises((socket.timeout, TimeoutError)):
            while True:
                piece = response.read1(4096)
                if not piece:
                    break
                got += piece
        self.assertEqual(len(got), 30_000)

    def test_stall_that_ends(self):
        self.write_config({"downloads": {"*": {"size": 50_000, "stall_after": 10_000, "stall_seconds": 1.0}}})
        start = time.monotonic()
        self.assertEqual(len(self.get("/downloads_ls/x").read()), 50_000)
        self.assertGreater(time.monotonic() - start, 0.9)

    def test_dropped_connection(self):
        self.write_config({"downloads": {"*": {"size": 100_000, "drop_after": 20_000}}})
        response = self.get("/downloads_ls/x")
        with self.assertRaises((http.client.IncompleteRead, ConnectionError, ssl.SSLError)) as caught:
            response.read()
        if isinstance(caught.exception, http.client.IncompleteRead):
            self.assertEqual(len(caught.exception.partial), 20_000)
        time.sleep(0.2)
        self.assertEqual(self.records("done")[-1]["how"], "dropped")

    def test_content_length_that_lies(self):
        self.write_config({"downloads": {"*": {"size": 10_000, "content_length": 25_000}}})
        response = self.get("/downloads_ls/x")
        self.assertEqual(response.getheader("Content-Length"), "25000")
        with self.assertRaises(http.client.IncompleteRead) as caught:
            response.read()
        self.assertEqual(len(caught.exception.partial), 10_000)

    def test_unknown_name_is_404(self):
        self.write_config({"downloads": {"pkg.exe": {"size": 1}}})
        self.assertEqual(self.get("/downloads_ls/other.exe").status, 404)


class TestLifetime(ServerCase):
    timeout = 2

    def test_stops_by_itself(self):
        self.assertEqual(self.proc.wait(10), 0)


if __name__ == "__main__":
    unittest.main()
