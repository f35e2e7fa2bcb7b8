"""The proxy of an office network, for the proxy scenarios: it tunnels CONNECT requests to the test
vendor server (whatever host they name, to the upstream address on the same port) and answers any
other request with a proxy auto-configuration script that names itself. Where the DEMAND file
names a scheme and "keep" or "close" ("Basic keep"), every tunnel is refused with 407 and that
scheme, the connection kept open for the next request or closed; a TLS handshake sent where that
request belongs gets 400, as from any proxy. Each request line goes to the log as a
JSON line {"method": ..., "target": ...}.

    connect_proxy.py LISTEN_ADDRESS PORT UPSTREAM_ADDRESS LOG READY_FILE [DEMAND]"""

import json
import select
import socket
import socketserver
import sys
from pathlib import Path


class Handler(socketserver.StreamRequestHandler):
    rbufsize = 0  # nothing of the tunnelled bytes may stay in a buffer here

    def handle(self):
        method, target = (self.rfile.readline(8192).decode("latin-1").split(" ") + ["", ""])[:2]
        while self.rfile.readline(8192) not in (b"\r\n", b"\n", b""):
            pass
        with open(LOG, "a") as log:
            log.write(json.dumps({"method": method, "target": target}) + "\n")
        demand = DEMAND.read_text().split() if DEMAND and DEMAND.exists() else []
        if method == "CONNECT" and demand:
            keep = demand[1:] == ["keep"]
            self.wfile.write(b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: %s\r\n%s"
                             b"Content-Length: 9\r\n\r\nMORVELT_P" % (demand[0].encode(), b"Connection: close\r\n" * (not keep)))
            if keep and self.rfile.read(1) == b"\x16":
                self.wfile.write(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
            return
        if method != "CONNECT":
            script = ('function FindProxyForURL(url, host) { return "PROXY %s:%d"; }\n' % ME).encode()
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
                             b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(script), script))
            return
        try:
            upstream = socket.create_connection((UPSTREAM, int(target.rsplit(":", 1)[1])), 10)
        except (OSError, ValueError, IndexError):
            self.wfile.write(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        with upstream:
            while True:
                ready = select.select([self.connection, upstream], [], [], 300)[0]
                data = ready and ready[0].recv(65536)
                if not data:
                    return
                (upstream if ready[0] is self.connection else self.connection).sendall(data)


if __name__ == "__main__":
    ME, UPSTREAM, LOG = (sys.argv[1], int(sys.argv[2])), sys.argv[3], sys.argv[4]
    DEMAND = Path(sys.argv[6]) if len(sys.argv) > 6 else None
    socketserver.ThreadingTCPServer.daemon_threads = True
    server = socketserver.ThreadingTCPServer(ME, Handler)
    Path(sys.argv[5]).write_text("ready")
    server.serve_forever()
