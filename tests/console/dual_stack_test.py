#!/usr/bin/env python3
"""A name with an IPv6 and an IPv4 address, for the console program.

Runs in a network and mount namespace of its own (started by ctest through
`unshare -n -m`): only that namespace's loopback exists, and its /etc/hosts
(bind-mounted over the real one inside the namespace only) gives
"dual.test" the addresses ::1 and 127.0.0.1. Servers of this script listen on
one family each, or refuse, or stall (a listening socket whose backlog is full
drops SYNs without an answer). The console downloads http://dual.test:PORT/:

  - IPv6 refuses, IPv4 serves   -> the file, without waiting for a time-out
                                   (split: the second session goes straight
                                   to the address the first one reached)
  - IPv6 serves, IPv4 refuses   -> the file
  - IPv6 stalls, IPv4 serves    -> IPv4 wins after about 250 ms
  - a proxy given as the name, IPv6 stalling -> through its IPv4 address
  - both refuse                 -> the connect-failure row and the retry wait

Usage: dual_stack_test.py CONSOLE_BINARY STRINGS_TXT
Exit 0 when every case passed, 1 otherwise, 77 when no namespace could be set up.
"""
import http.server
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

PAYLOAD = bytes(range(256)) * 4096  # 1 MiB


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        first = 0
        wanted = self.headers.get("Range", "")
        if wanted.startswith("bytes=") and wanted.endswith("-"):
            first = int(wanted[6:-1])
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, len(PAYLOAD) - 1, len(PAYLOAD)))
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(len(PAYLOAD) - first))
        self.end_headers()
        self.wfile.write(PAYLOAD[first:])

    def log_message(self, *args):
        pass


def serve(family, address, port):
    cls = type("S", (http.server.ThreadingHTTPServer,), {"address_family": family})
    server = cls((address, port), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def stall(port):
    """[::1]:port accepts nothing more: its one-place backlog is taken."""
    listener = socket.socket(socket.AF_INET6)
    listener.bind(("::1", port))
    listener.listen(0)
    filler = socket.socket(socket.AF_INET6)
    filler.connect(("::1", port))
    return listener, filler


def strings(path):
    table = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 3 and fields[0].isdigit():
                table[int(fields[0])] = fields[2]  # English: the run uses the C locale
    return table


def setup_namespace(folder):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    hosts = os.path.join(folder, "hosts")
    with open(hosts, "w") as f:
        f.write("127.0.0.1 localhost\n::1 localhost\n::1 dual.test\n127.0.0.1 dual.test\n")
    subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)
    found = {a[4][0] for a in socket.getaddrinfo("dual.test", 80, proto=socket.IPPROTO_TCP)}
    if found != {"::1", "127.0.0.1"}:
        raise RuntimeError("dual.test resolves to %r" % found)


def free_port():
    with socket.socket(socket.AF_INET6) as a, socket.socket() as b:
        a.bind(("::1", 0))
        port = a.getsockname()[1]
        b.bind(("127.0.0.1", port))  # the same port free on both
        return port


def run_console(binary, folder, port, wait_for=None, limit=30, split=False, url=None):
    """Runs a download; with wait_for, ends the run once that text was shown."""
    out = tempfile.mkdtemp(dir=folder)
    env = dict(os.environ, LC_ALL="C", LANG="C")
    started = time.monotonic()
    child = subprocess.Popen([binary, "--verbose", "-sp", "1" if split else "0", "-td", out,
                              url or "http://dual.test:%d/f.bin" % port],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True)
    lines = []
    timer = threading.Timer(limit, child.kill)
    timer.start()
    for line in child.stdout:
        lines.append(line.rstrip("\n"))
        if wait_for and all(any(w in l for l in lines) for w in wait_for):
            child.terminate()
            break
    child.wait()
    timer.cancel()
    elapsed = time.monotonic() - started
    path = os.path.join(out, "f.bin")
    data = open(path, "rb").read() if os.path.exists(path) else None
    return child.returncode, lines, data, elapsed


def main():
    binary, strings_path = sys.argv[1], sys.argv[2]
    text = strings(strings_path)
    folder = tempfile.mkdtemp(prefix="dorimel-dual-")
    try:
        setup_namespace(folder)
    except Exception as e:  # no namespace here: nothing to test honestly
        print("SKIP: %s" % e)
        return 77
    shutil.copy(binary, os.path.join(folder, "dorimel"))  # no dorimel.ini beside it: the defaults
    binary = os.path.join(folder, "dorimel")
    failures = []

    def check(what, ok, lines):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)
            print("\n".join("     | " + l for l in lines))

    connecting = text[12] + "dual.test"
    for name, v6, v4 in (("IPv6 refuses, IPv4 serves", None, "serve"),
                         ("IPv6 serves, IPv4 refuses", "serve", None),
                         ("IPv6 stalls, IPv4 serves", "stall", "serve")):
        port = free_port()
        servers = []
        if v6 == "serve":
            servers.append(serve(socket.AF_INET6, "::1", port))
        if v6 == "stall":
            stalled = stall(port)
        if v4 == "serve":
            servers.append(serve(socket.AF_INET, "127.0.0.1", port))
        code, lines, data, elapsed = run_console(binary, folder, port, split=True)
        check(name + ": the file arrives identical", code == 0 and data == PAYLOAD, lines)
        # The split's second session goes straight to the address that won.
        second = [l for l in lines if l.split(" ")[1:3] == ["1", "3"] and connecting in l]
        check(name + ": the second session connects once, to the winner", len(second) == 1 and
              not second[0].endswith(")"), lines)
        check(name + ": both addresses tried in order",
              any(connecting + "([::1])" in l for l in lines) and
              (v6 == "serve" or any(connecting + "(127.0.0.1)" in l for l in lines)), lines)
        check(name + ": no wait for a time-out (%.2f s)" % elapsed, elapsed < 2.0, lines)
        if v6 == "stall":  # the IPv4 attempt waited for its turn
            check(name + ": IPv4 started after the delay", elapsed >= 0.25, lines)
        check(name + ": no retry", not any(text[46] in l for l in lines), lines)
        for s in servers:
            s.shutdown()
            s.server_close()
        if v6 == "stall":
            for s in stalled:
                s.close()

    # A proxy given as the name: its IPv6 address stalls, its IPv4 address
    # answers the absolute-URL request (this server sends the file for any path).
    port = free_port()
    stalled = stall(port)
    proxy = serve(socket.AF_INET, "127.0.0.1", port)
    proxied = os.path.join(folder, "proxied")
    os.makedirs(proxied)
    shutil.copy(binary, proxied)
    with open(os.path.join(proxied, "dorimel.ini"), "w") as f:
        f.write("[DefaultValues]\nProxy=dual.test:%d\n" % port)
    code, lines, data, elapsed = run_console(os.path.join(proxied, "dorimel"), folder, port,
                                             url="http://origin.invalid/f.bin")
    check("proxy by name: the file arrives through its IPv4 address", code == 0 and data == PAYLOAD and
          any(text[12] + "dual.test:%d(127.0.0.1)" % port in l for l in lines), lines)
    proxy.shutdown()
    proxy.server_close()
    for s in stalled:
        s.close()

    code, lines, data, elapsed = run_console(binary, folder, free_port(), wait_for=[text[13], text[46]])
    check("both refuse: one connect-failure row, then the retry wait",
          sum(text[13] in l for l in lines) == 1 and any(text[46] in l for l in lines), lines)
    print("%d passed, %d failed" % (18 - len(failures), len(failures)))
    shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
