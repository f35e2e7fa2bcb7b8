#!/usr/bin/python3
"""The vendor's web server and the package download host, for the end-to-end tests and the demo.

One small threaded HTTPS server. It records every request exactly as received (the raw request
line, method, target, Host header) as JSON lines, answers the event reports, answers the package
lookup with the body a scenario chooses, and serves packages with chosen faults.

What it answers comes from a JSON config file that is read again whenever it changes, so a
scenario can change the answers while the installer runs:

    {
      "api":    {"status": 200, "body_b64": "T0s="},
      "lookup": {"status": 200, "body_b64": "...", "content_type": "text/html", "headers": {name: value},
                 "chunk_size": 0, "chunk_delay": 0.0, "chunked": false, "delay": 0.0},
      "downloads": {
        "<name as received after /downloads_ls/>": {
           "file": "/path/to/file"   or   "size": 123456789 (synthetic bytes),
           "status": 200, "rate": 204800 (bytes/s), "delay": 0.0,
           "stall_after": N, "stall_seconds": S (default: until the server stops),
           "drop_after": N (abrupt close after N body bytes),
           "content_length": N (the header claims N whatever is sent),
           "drop_before_headers": true (abrupt close before any answer)
        },
        "*": {... used for any other name ...}
      },
      "tls": {"refuse": ["127.0.0.1"], "untrusted": ["localhost"],
              "othername": ["localhost"], "othername_cert": "/path/cert.pem", "othername_key": "/path/key.pem"},
      "silent": false,
      "close_connections": false   (answer every request with "Connection: close")
    }

The "tls" entry fails handshakes by the host name the client asks for (SNI): "refuse" answers
with a handshake failure, "untrusted" presents the --alt-cert certificate instead. The download
host and the vendor's server are both this server, so this is how a scenario makes only the
download (or only the reports) fail: Wine's download service reports success for a transfer
cut short or an error status, but not for a failed handshake or a refused connection.
"othername" presents a certificate from the trusted CA made out for another host name (the files
named in the entry, loaded when first needed).

With "silent" set, every new connection is accepted and then never answered: the server reads
what the client sends (its TLS ClientHello) and records {"kind": "silent_accept"} at once and
{"kind": "silent", "received": bytes,
"held": seconds, "end": "client closed" | "server stopping" | "silence lifted"} once the client
gives up, the server stops, or "silent" is cleared again.

Every request gives a {"kind": "request", ...} line; a download or lookup adds a
{"kind": "done", "seq": n, "sent": bytes, "how": ...} line when its body ended. TLS handshakes
that fail here give {"kind": "tls_error", ...}; a connection that ends without any request
(as when the client refused the certificate after the handshake) gives {"kind": "no_request"}.

The server listens on 127.0.0.1 and ::1 (the installer's "localhost" may resolve to either) and
stops by itself after --timeout seconds.

Standalone demo: vendor_server.py --demo --package FILE --cert C --key K [--name N] [--rate R]
"""

import argparse
import base64
import http.server
import json
import re
import os
import socket
import socketserver
import ssl
import sys
import threading
import time

API_PREFIX = "/wp-json/hlv/api"
LOOKUP_PREFIX = "/index.php?option=com_hlvauth"
DOWNLOAD_PREFIX = "/downloads_ls/"

STOP = threading.Event()


class Recorder:
    """Appends JSON lines to the request log, one writer at a time."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.seq = 0
        open(path, "a").close()

    def next_seq(self):
        with self.lock:
            self.seq += 1
            return self.seq

    def write(self, record):
        line = json.dumps(record, ensure_ascii=True) + "\n"
        with self.lock:
            with open(self.path, "a") as f:
                f.write(line)


class Config:
    """The scenario's answers, re-read when the file changes."""

    def __init__(self, path=None, fixed=None):
        self.path = path
        self.fixed = fixed
        self.mtime = None
        self.data = fixed or {}
        self.lock = threading.Lock()

    def get(self):
        if not self.path:
            return self.data
        with self.lock:
            try:
                mtime = os.stat(self.path).st_mtime_ns
                if mtime != self.mtime:
                    with open(self.path) as f:
                        self.data = json.load(f)
                    self.mtime = mtime
            except (OSError, ValueError):
                pass  # keep the last good config; a half-written file is replaced atomically anyway
            return self.data


def body_of(entry, default=b""):
    if "body_b64" in entry:
        return base64.b64decode(entry["body_b64"])
    if "body" in entry:
        return entry["body"].encode("latin-1")
    return default


def sleep_unless_stopped(seconds):
    """Sleeps, but wakes when the server is stopping; False then."""
    return not STOP.wait(seconds)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "MorveltTestVendor/1.0"
    sys_version = ""

    def log_message(self, fmt, *args):
        pass  # the JSON log is the record

    def parse_request(self):
        self.connection.requests_seen = getattr(self.connection, "requests_seen", 0) + 1
        ok = super().parse_request()
        self.seq = self.server.recorder.next_seq()
        raw = self.raw_requestline.rstrip(b"\r\n").decode("latin-1")
        parts = raw.split(" ")
        record = {
            "kind": "request",
            "seq": self.seq,
            "t": time.time(),
            "listener": self.server.server_address[0],
            "client": self.client_address[0],
            "raw": raw,
            "method": parts[0] if parts else "",
            "target": " ".join(parts[1:-1]) if len(parts) >= 3 else (parts[1] if len(parts) == 2 else ""),
            "version": parts[-1] if len(parts) >= 3 else "",
            "host": self.headers.get("Host") if ok and self.headers else None,
            "headers": dict(self.headers.items()) if ok and self.headers else {},
            "parsed": ok,
        }
        self.server.recorder.write(record)
        return ok

    def end_headers(self):
        # With "close_connections" no connection is kept for reuse, so a TLS fault set later
        # meets a fresh handshake (WinHTTP keeps idle connections per host and reuses them).
        if self.server.config.get().get("close_connections") and not self.close_connection:
            self.send_header("Connection", "close")
        super().end_headers()

    def do_HEAD(self):
        self.answer(head=True)

    def do_GET(self):
        self.answer(head=False)

    def answer(self, head):
        config = self.server.config.get()
        # Every server takes a target in absolute form too (Wine's WinHTTP sends one through a proxy).
        target = re.sub(r"^https?://[^/]*", "", self.path)
        try:
            if target.startswith(API_PREFIX):
                entry = config.get("api", {})
                self.send_body(entry.get("status", 200), body_of(entry, b"OK"), entry, head)
            elif target.startswith(LOOKUP_PREFIX):
                entry = config.get("lookup", {})
                self.send_body(entry.get("status", 200), body_of(entry), entry, head)
            elif target.startswith(DOWNLOAD_PREFIX):
                name = target[len(DOWNLOAD_PREFIX):]
                downloads = config.get("downloads", {})
                entry = downloads.get(name, downloads.get("*"))
                if entry is None:
                    self.send_body(404, b"no such package", {}, head)
                else:
                    self.send_download(entry, head)
            else:
                self.send_body(404, b"not found", {}, head)
        except (ConnectionError, ssl.SSLError, OSError) as e:
            self.done(0, "client gone: %s" % e.__class__.__name__)
            self.close_connection = True

    def done(self, sent, how):
        self.server.recorder.write({"kind": "done", "seq": self.seq, "t": time.time(), "sent": sent, "how": how})

    def send_body(self, status, body, entry, head):
        if entry.get("delay"):
            sleep_unless_stopped(entry["delay"])
        self.send_response(status)
        self.send_header("Content-Type", entry.get("content_type", "text/html; charset=utf-8"))
        for name, value in entry.get("headers", {}).items():
            self.send_header(name, value)
        chunked = entry.get("chunked", False)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if head:
            self.done(0, "head")
            return
        size = entry.get("chunk_size") or len(body) or 1
        sent = 0
        for i in range(0, len(body), size):
            piece = body[i:i + size]
            if chunked:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            else:
                self.wfile.write(piece)
            self.wfile.flush()
            sent += len(piece)
            if entry.get("chunk_delay") and i + size < len(body):
                sleep_unless_stopped(entry["chunk_delay"])
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        self.done(sent, "complete")

    def send_download(self, entry, head):
        if entry.get("delay"):
            sleep_unless_stopped(entry["delay"])
        if entry.get("drop_before_headers"):
            self.drop()
            self.done(0, "dropped before headers")
            return
        status = entry.get("status", 200)
        if "file" in entry:
            with open(entry["file"], "rb") as f:
                data = f.read()
            size = len(data)
        else:
            data = None
            size = int(entry.get("size", 0))
        claimed = int(entry.get("content_length", size))
        self.send_response(status)
        self.send_header("Content-Type", entry.get("content_type", "application/octet-stream"))
        self.send_header("Content-Length", str(claimed))
        if claimed != size:
            self.send_header("Connection", "close")
        self.end_headers()
        if head:
            self.done(0, "head")
            return

        rate = entry.get("rate")
        stall_after = entry.get("stall_after")
        drop_after = entry.get("drop_after")
        block = 16384 if rate is None else max(512, min(16384, int(rate) // 20))
        pattern = (b"MORVELT-TEST-PAYLOAD-" * (65536 // 21 + 1))[:65536]
        start = time.monotonic()
        sent = 0
        stalled = False
        while sent < size:
            if STOP.is_set():
                self.done(sent, "server stopping")
                self.close_connection = True
                return
            limit = size
            if drop_after is not None:
                limit = min(limit, int(drop_after))
            if stall_after is not None and not stalled:
                limit = min(limit, int(stall_after))
            if sent >= limit:
                if drop_after is not None and sent >= int(drop_after):
                    self.wfile.flush()
                    self.drop()
                    self.done(sent, "dropped")
                    return
                stalled = True
                self.wfile.flush()
                seconds = entry.get("stall_seconds")
                if not sleep_unless_stopped(seconds if seconds is not None else 1e9):
                    self.done(sent, "stalled until stop")
                    self.close_connection = True
                    return
                continue
            n = min(block, limit - sent)
            if data is not None:
                piece = data[sent:sent + n]
            else:
                offset = sent % len(pattern)
                piece = (pattern[offset:] + pattern)[:n]
            self.wfile.write(piece)
            sent += n
            if rate:
                self.wfile.flush()
                ahead = sent / float(rate) - (time.monotonic() - start)
                if ahead > 0:
                    sleep_unless_stopped(ahead)
        self.wfile.flush()
        if drop_after is not None and sent >= int(drop_after):
            self.drop()
            self.done(sent, "dropped")
            return
        if claimed != size:
            self.close_connection = True
        self.done(sent, "complete")

    def drop(self):
        """Ends the connection abruptly, without a TLS close_notify."""
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            socket.socket.shutdown(self.connection, socket.SHUT_RDWR)
        except OSError:
            pass
        self.close_connection = True


class TlsServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, family, context, recorder, config):
        self.address_family = family
        self.context = context
        self.recorder = recorder
        self.config = config
        super().__init__(address, Handler, bind_and_activate=False)
        if family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        self.server_bind()
        self.server_activate()

    def server_bind(self):
        # HTTPServer.server_bind looks up the host name, which is slow and pointless here.
        socketserver.TCPServer.server_bind(self)
        self.server_name = self.server_address[0]
        self.server_port = self.server_address[1]

    def finish_request(self, request, client_address):
        if self.config.get().get("silent"):
            self.hold_silent(request, client_address)
            return
        # The handshake runs on the connection's own thread, so one slow client cannot block accept().
        request.settimeout(60)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.recorder.write({"kind": "tls_error", "t": time.time(), "listener": self.server_address[0],
                                 "client": client_address[0], "error": str(e)})
            return
        try:
            super().finish_request(tls, client_address)
        except (ConnectionError, ssl.SSLError, OSError):
            pass
        finally:
            if not getattr(tls, "requests_seen", 0):
                # Under TLS 1.2 a client that refuses the certificate does so after the handshake
                # has completed on this side: it shows as a connection without any request.
                self.recorder.write({"kind": "no_request", "t": time.time(), "listener": self.server_address[0],
                                     "client": client_address[0], "tls_version": tls.version()})
            try:
                tls.close()
            except OSError:
                pass

    def hold_silent(self, request, client_address):
        """Keeps an accepted connection open without a byte of answer until the client gives up."""
        start = time.time()
        self.recorder.write({"kind": "silent_accept", "t": start, "listener": self.server_address[0],
                             "client": client_address[0]})
        received, end = 0, "server stopping"
        request.settimeout(0.2)
        while not STOP.is_set():
            try:
                data = request.recv(65536)
            except socket.timeout:
                if not self.config.get().get("silent"):
                    end = "silence lifted"
                    break
                continue
            except OSError:
                data = b""
            if not data:
                end = "client closed"
                break
            received += len(data)
        self.recorder.write({"kind": "silent", "t": time.time(), "accepted": start, "listener": self.server_address[0],
                             "client": client_address[0], "received": received, "held": round(time.time() - start, 3),
                             "end": end})

    def handle_error(self, request, client_address):
        pass  # a client that goes away mid-transfer is part of the tests


def make_context(args, config):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    alternative = None
    if args.alt_cert:
        alternative = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        alternative.load_cert_chain(args.alt_cert, args.alt_key)

    named = {}

    def other_name_context(tls):
        key = (tls.get("othername_cert"), tls.get("othername_key"))
        if key not in named:
            named[key] = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            named[key].load_cert_chain(*key)
        return named[key]

    def choose(sock, server_name, _context):
        tls = config.get().get("tls", {})
        name = server_name or ""
        if name in tls.get("refuse", []):
            return ssl.ALERT_DESCRIPTION_HANDSHAKE_FAILURE
        if name in tls.get("untrusted", []) and alternative:
            sock.context = alternative
        elif name in tls.get("othername", []) and tls.get("othername_cert"):
            sock.context = other_name_context(tls)
        return None
    context.sni_callback = choose
    return context


def serve(args, config):
    context = make_context(args, config)
    recorder = Recorder(args.log)
    servers = []
    for host in args.hosts.split(","):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        try:
            servers.append(TlsServer((host, args.port), family, context, recorder, config))
        except OSError as e:
            print("cannot listen on %s:%d: %s" % (host, args.port, e), file=sys.stderr)
            if family == socket.AF_INET:
                return 1
    threads = [threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True) for s in servers]
    for t in threads:
        t.start()
    if args.ready:
        with open(args.ready + ".tmp", "w") as f:
            json.dump({"pid": os.getpid(), "listening": [s.server_address[0] for s in servers]}, f)
        os.replace(args.ready + ".tmp", args.ready)
    print("vendor server listening on %s port %d" % (", ".join(s.server_address[0] for s in servers), args.port),
          flush=True)
    STOP.wait(args.timeout)
    STOP.set()
    for s in servers:
        s.shutdown()
        s.server_close()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--config", help="JSON config file with the answers (re-read on change)")
    parser.add_argument("--log", default=os.devnull, help="JSON-lines request log")
    parser.add_argument("--cert", required=True, help="server certificate chain (PEM)")
    parser.add_argument("--key", required=True, help="server private key (PEM)")
    parser.add_argument("--alt-cert", help="certificate for the host names that config.tls lists as untrusted")
    parser.add_argument("--alt-key", help="its private key")
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--hosts", default="127.0.0.1,::1")
    parser.add_argument("--timeout", type=float, default=600, help="stop by itself after this many seconds")
    parser.add_argument("--ready", help="file written once the server listens")
    parser.add_argument("--demo", action="store_true", help="serve one package under a fixed name")
    parser.add_argument("--package", help="demo: the package file to serve")
    parser.add_argument("--name", default="MORVELT_2.0_Setup.exe", help="demo: the package name the lookup answers")
    parser.add_argument("--rate", type=int, help="demo: bytes per second for the package")
    args = parser.parse_args(argv)

    if args.demo:
        if not args.package:
            parser.error("--demo needs --package")
        entry = {"file": os.path.abspath(args.package)}
        if args.rate:
            entry["rate"] = args.rate
        config = Config(fixed={"lookup": {"body": args.name}, "downloads": {args.name: entry}})
    elif args.config:
        config = Config(path=args.config)
    else:
        parser.error("give --config or --demo")
    try:
        return serve(args, config)
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
