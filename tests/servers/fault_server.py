#!/usr/bin/env python3
"""Fault-injecting HTTP/1.0 server for the engine tests (127.0.0.1 or ::1 only).

Serves the files of a root folder and misbehaves on request. Started by the
tests (tests/servers/test_servers.h); prints "PORT <n>" on standard output once
it listens, then serves until SIGTERM.

URLs:
  /f/<file>                  the file, honouring "Range: bytes=a-" / "a-b"
  /x/<directives>/<file>     the file with misbehaviours (see below)
  /raw/<file>                the bytes of <file> are the whole response, then
                             the connection closes (any status line or header)

Directives, separated by ",", values URL-encoded where they need it:
  times=N        the other directives hold for the first N requests of this
                 exact path; later requests are served normally
  close=N        close the connection after N body bytes (early close)
  cut=N          over TLS: after N body bytes send half of the next record,
                 then close (a cut inside a record); plain: as close=N
  nonotify       over TLS: end the whole body without close_notify
  reset=N        reset the connection (RST) after N body bytes
  stall=N        after N body bytes send nothing more and keep the connection
                 open until the client closes it or the server stops
  norange        ignore Range: answer 200 with the whole file
  crstart=D      add D (may be negative) to the Content-Range start
  crtotal=D      add D to the Content-Range total
  status=C       answer status C with a small body (401, 404, 500, 302, ...)
  loc=URL        a Location header (relative, absolute, ftp:, https: ...)
  type=T         the Content-Type (default from the extension)
  disp=V         a Content-Disposition header with value V
  hdr=LINE       one more header line, as given
  nolength       no Content-Length (the end of the body is the close)
  length=V       Content-Length: V exactly as given (e.g. -5)
  endless        an endless header: header lines until the client closes
  drip=B:MS      send the body B bytes at a time, MS milliseconds apart
  delay=MS       wait MS milliseconds before answering

A CONNECT request (the server plays a proxy) is answered with the bytes of
<root>/connect-reply, then the connection closes.

Every request's header bytes, exactly as received up to and including the
blank line, go to <record folder>/<n>.req (n = 1, 2, ... in arrival order),
written complete before the response starts.

With --tls CERT KEY every connection is TLS (the directives work the same
over it). A response that ends as planned ends with close_notify; close= and
cut= end without it. --handshake MODE replaces the
TLS handshake by a fault: "close" (close after the client's first bytes),
"garbage" (answer them with plain HTTP text) or "stall" (answer nothing).
--ask-client-certificate makes the handshake ask for a client certificate
(none is required).
"""

import argparse
import os
import signal
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse

MAX_HEADER = 1 << 20

_counts = {}
_counts_lock = threading.Lock()
_request_number = [0]


def content_type(name):
    ext = os.path.splitext(name)[1].lower()
    return {
        ".zip": "application/zip",
        ".html": "text/html",
        ".htm": "text/html",
        ".txt": "text/plain",
    }.get(ext, "application/octet-stream")


def parse_directives(text):
    directives = {}
    for item in text.split(","):
        if not item:
            continue
        key, _, value = item.partition("=")
        directives[key] = urllib.parse.unquote(value)
    return directives


def parse_range(header_text):
    for line in header_text.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() != "range":
            continue
        value = value.strip()
        if not value.startswith("bytes="):
            return None
        first, _, last = value[6:].partition("-")
        try:
            return int(first), (int(last) if last.strip() else None)
        except ValueError:
            return None
    return None


class ServerTlsConnection:
    """The server side of one TLS connection over memory BIOs, so that a
    test can end the stream inside a record or without close_notify; offers
    the socket calls the handler uses."""

    def __init__(self, sock, context):
        self.sock = sock
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self._run(self.tls.do_handshake)

    def _flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def _run(self, operation):
        while True:
            try:
                result = operation()
                self._flush()
                return result
            except ssl.SSLWantReadError:
                self._flush()
                data = self.sock.recv(65536)
                if data:
                    self.incoming.write(data)
                else:
                    self.incoming.write_eof()

    def recv(self, size):
        try:
            return self._run(lambda: self.tls.read(size))
        except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
            return b""

    def sendall(self, data):
        view = memoryview(data)
        while view:
            view = view[self.tls.write(view):]
        self._flush()

    def send_half_record(self, data):
        self.tls.write(data)
        record = self.outgoing.read()
        self.sock.sendall(record[:len(record) // 2])

    def close_notify(self):
        try:
            self.tls.unwrap()
        except ssl.SSLError:
            pass
        self._flush()

    def settimeout(self, value):
        self.sock.settimeout(value)

    def setsockopt(self, *args):
        self.sock.setsockopt(*args)

    def shutdown(self, how):
        self.sock.shutdown(how)

    def close(self):
        self.sock.close()


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        conn = self.request
        conn.settimeout(None)
        fault = self.server.handshake_fault
        if fault:
            conn.recv(4096)  # the ClientHello (or its start)
            if fault == "garbage":
                conn.sendall(b"HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
            elif fault == "stall":
                self.server.stopping.wait()
            conn.close()
            return
        if self.server.tls:
            try:
                conn = self.request = ServerTlsConnection(conn, self.server.tls)
            except (ssl.SSLError, OSError):
                return  # the client refused our certificate
        header = b""
        while b"\r\n\r\n" not in header and b"\n\n" not in header:
            chunk = conn.recv(4096)
            if not chunk:
                return
            header += chunk
            if len(header) > MAX_HEADER:
                return
        end = header.find(b"\r\n\r\n")
        end = end + 4 if end >= 0 else header.find(b"\n\n") + 2
        header = header[:end]
        self.server.record(header)
        text = header.decode("latin-1")
        request_line = text.split("\r\n", 1)[0]
        if request_line.startswith("CONNECT "):
            with open(os.path.join(self.server.root, "connect-reply"), "rb") as f:
                conn.sendall(f.read())
            return
        parts = request_line.split(" ")
        if len(parts) < 2:
            return self.send_simple(400)
        path = urllib.parse.urlsplit(parts[1]).path  # proxies send absolute URLs
        try:
            self.route(path, text)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass

    # ---- responses --------------------------------------------------------

    def send_simple(self, status, extra=b""):
        body = ("<html><body>%d</body></html>" % status).encode()
        head = "HTTP/1.0 %d Status %d\r\nContent-Type: text/html\r\nContent-Length: %d\r\n" % (
            status, status, len(body))
        self.request.sendall(head.encode() + extra + b"\r\n" + body)

    def file_path(self, name):
        name = urllib.parse.unquote(name)
        full = os.path.realpath(os.path.join(self.server.root, name))
        if not full.startswith(os.path.realpath(self.server.root) + os.sep):
            return None
        return full if os.path.isfile(full) else None

    def route(self, path, text):
        segments = path.lstrip("/").split("/")
        if segments[0] == "raw" and len(segments) >= 2:
            full = self.file_path("/".join(segments[1:]))
            if full is None:
                return self.send_simple(404)
            with open(full, "rb") as f:
                self.request.sendall(f.read())
            return
        if segments[0] == "f" and len(segments) >= 2:
            return self.serve_file("/".join(segments[1:]), text, {})
        if segments[0] == "x" and len(segments) >= 3:
            directives = parse_directives(segments[1])
            if "times" in directives:
                with _counts_lock:
                    _counts[path] = _counts.get(path, 0) + 1
                    count = _counts[path]
                if count > int(directives["times"]):
                    directives = {}
            return self.serve_file("/".join(segments[2:]), text, directives)
        return self.send_simple(404)

    def serve_file(self, name, text, d):
        conn = self.request
        if "delay" in d:
            time.sleep(int(d["delay"]) / 1000.0)
        if "endless" in d:
            conn.sendall(b"HTTP/1.0 200 OK\r\n")
            line = b"X-Filler: " + b"a" * 90 + b"\r\n"
            while not self.server.stopping.is_set():
                conn.sendall(line * 64)
            return
        extra = b""
        for key in ("loc", "disp", "hdr"):
            if key in d:
                name_of = {"loc": "Location: ", "disp": "Content-Disposition: ", "hdr": ""}[key]
                extra += (name_of + d[key] + "\r\n").encode("latin-1")
        if "status" in d and not d["status"].startswith("2"):
            return self.send_simple(int(d["status"]), extra)
        full = self.file_path(name)
        if full is None:
            return self.send_simple(404)
        size = os.path.getsize(full)
        wanted = None if "norange" in d else parse_range(text)
        first, last = 0, size - 1
        status = "200 OK"
        head = ""
        if wanted is not None:
            first = wanted[0]
            if wanted[1] is not None:
                last = min(wanted[1], size - 1)
            if first >= size:
                return self.send_simple(416)
            status = "206 Partial Content"
            head += "Content-Range: bytes %d-%d/%d\r\n" % (
                first + int(d.get("crstart", 0)), last, size + int(d.get("crtotal", 0)))
        if "status" in d:
            status = d["status"] + " Status"
        length = last - first + 1
        head = "HTTP/1.0 %s\r\nContent-Type: %s\r\n" % (status, d.get("type", content_type(name))) + head
        if "length" in d:
            head += "Content-Length: %s\r\n" % d["length"]
        elif "nolength" not in d:
            head += "Content-Length: %d\r\n" % length
        conn.sendall(head.encode("latin-1") + extra + b"\r\n")
        self.send_body(full, first, length, d)

    def send_body(self, full, first, length, d):
        conn = self.request
        limit = length
        for key in ("close", "cut", "reset", "stall"):
            if key in d:
                limit = min(limit, int(d[key]))
        piece, pause = 65536, 0.0
        if "drip" in d:
            b, _, ms = d["drip"].partition(":")
            piece, pause = max(1, int(b)), int(ms or "0") / 1000.0
        with open(full, "rb") as f:
            f.seek(first)
            sent = 0
            while sent < limit:
                data = f.read(min(piece, limit - sent))
                if not data:
                    break
                conn.sendall(data)
                sent += len(data)
                if pause and sent < limit and self.server.stopping.wait(pause):
                    return
        if "reset" in d and sent < length:
            # Linger 0 and close now: the close sends RST, not FIN (the
            # server's own shutdown afterwards would send FIN first).
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()
            return
        if "cut" in d and sent < length and isinstance(conn, ServerTlsConnection):
            rest = min(4096, length - sent)
            with open(full, "rb") as f:
                f.seek(first + sent)
                conn.send_half_record(f.read(rest))
        if "stall" in d and sent < length:
            # Hold the connection until the client goes away or we stop.
            conn.settimeout(0.2)
            while not self.server.stopping.is_set():
                try:
                    if not conn.recv(4096):
                        return
                except socket.timeout:
                    continue
                except OSError:
                    return
            return
        try:
            cut = (sent < length and ("close" in d or "cut" in d)) or "nonotify" in d
            if isinstance(conn, ServerTlsConnection) and not cut:
                conn.close_notify()
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, root, record_dir, port):
        self.root = root
        self.record_dir = record_dir
        self.stopping = threading.Event()
        self.record_lock = threading.Lock()
        self.tls = None
        self.handshake_fault = ""
        super().__init__(("::1" if self.address_family == socket.AF_INET6 else "127.0.0.1", port), Handler)

    def record(self, header):
        if not self.record_dir:
            return
        with self.record_lock:
            _request_number[0] += 1
            n = _request_number[0]
            temp = os.path.join(self.record_dir, "%d.tmp" % n)
            with open(temp, "wb") as f:
                f.write(header)
            os.rename(temp, os.path.join(self.record_dir, "%d.req" % n))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--record", default="")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--handshake", choices=("close", "garbage", "stall"), default="")
    parser.add_argument("--ask-client-certificate", action="store_true")
    parser.add_argument("--ipv6", action="store_true", help="listen on [::1] instead of 127.0.0.1")
    args = parser.parse_args()
    server = (type("Server6", (Server,), {"address_family": socket.AF_INET6}) if args.ipv6 else Server)(
        args.root, args.record, args.port)
    server.handshake_fault = args.handshake
    if args.tls:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(args.tls[0], args.tls[1])
        if args.ask_client_certificate:
            # A CertificateRequest in the handshake; going on without a
            # certificate is allowed.
            server.tls.verify_mode = ssl.CERT_OPTIONAL
            server.tls.load_verify_locations(args.tls[0])

    def stop(*_):
        server.stopping.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    sys.stdout.write("PORT %d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever(poll_interval=0.2)
    server.server_close()


if __name__ == "__main__":
    main()
