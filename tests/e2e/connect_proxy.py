"""The proxy of an office network, for the proxy scenarios: it tunnels CONNECT requests to the test
vendor server (whatever host they name, to --upstream on the same port) and serves a proxy
auto-configuration script that names itself at any other path. Every request line is recorded
as a JSON line: {"method": ..., "target": ...}."""

import argparse
import json
import select
import socket
import socketserver
import threading
from pathlib import Path


class Handler(socketserver.StreamRequestHandler):
    rbufsize = 0  # nothing of the tunnelled bytes may stay in a buffer here

    def handle(self):
        method, target = (self.rfile.readline(8192).decode("latin-1").split(" ") + ["", ""])[:2]
        while self.rfile.readline(8192) not in (b"\r\n", b"\n", b""):
            pass
        self.server.record({"method": method, "target": target})
        if method != "CONNECT":
            script = b'function FindProxyForURL(url, host) { return "PROXY %s"; }\n' % self.server.me.encode()
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
                             b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(script), script))
            return
        try:
            upstream = socket.create_connection((self.server.upstream, int(target.rsplit(":", 1)[1])), 10)
        except (OSError, ValueError, IndexError):
            self.wfile.write(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        ends = [self.connection, upstream]
        with upstream:
            while True:
                ready, _, _ = select.select(ends, [], [], 300)
                if not ready:
                    return
                for end in ready:
                    data = end.recv(65536)
                    if not data:
                        return
                    (upstream if end is self.connection else self.connection).sendall(data)


class Proxy(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def record(self, entry):
        with self.lock, open(self.log, "a") as f:
            f.write(json.dumps(entry) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--listen", default="127.0.0.3")
    parser.add_argument("--port", type=int, default=3128)
    parser.add_argument("--upstream", default="127.0.0.2")
    parser.add_argument("--log", required=True)
    parser.add_argument("--ready", required=True)
    args = parser.parse_args()
    proxy = Proxy((args.listen, args.port), Handler)
    proxy.lock, proxy.log, proxy.upstream = threading.Lock(), args.log, args.upstream
    proxy.me = "%s:%d" % (args.listen, args.port)
    Path(args.ready).write_text("ready")
    proxy.serve_forever()


if __name__ == "__main__":
    main()
