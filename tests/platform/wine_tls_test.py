#!/usr/bin/env python3
"""TLS of the Windows seam (SChannel) under Wine, through seam_probe.exe:
nginx with TLS on 127.0.0.1 and certificates made now by a test CA that is
put into the Wine prefix's CurrentUser "Root" store for the run (and taken out
again). A table of certificates and outcomes: the good one downloads 1,
100001 and 50 MB byte-identical (the header read byte by byte, so every byte
left in the seam must bring its own read event); untrusted, expired and
wrong-name certificates end the handshake with their TLS_ERROR_* code; a
server that answers the ClientHello with garbage fails the handshake, one that
closes after it ends it as an aborted connection (which the engine retries).

usage: wine_tls_test.py --probe seam_probe.exe --wine-run wine_run.sh
"""
import argparse
import filecmp
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win"))
from tls_servers import TlsServers  # noqa: E402
from uiauto import missing_setup  # noqa: E402

TLS_ERROR_HANDSHAKE, TLS_ERROR_UNTRUSTED, TLS_ERROR_EXPIRED, TLS_ERROR_NAME = 0x7100, 0x7101, 0x7102, 0x7103
WSAECONNABORTED = 10053

# certificate, file size (None: no download), the NET_TLS error expected
CASES = [
    ("good", 1, 0),
    ("good", 100001, 0),
    ("good", 50 * 1000 * 1000, 0),
    ("untrusted", None, TLS_ERROR_UNTRUSTED),
    ("expired", None, TLS_ERROR_EXPIRED),
    ("wrong_name", None, TLS_ERROR_NAME),
    ("garbage", None, TLS_ERROR_HANDSHAKE),
    ("close", None, WSAECONNABORTED),
]


class FaultyTlsServer:
    """Reads the ClientHello, then sends garbage (and keeps the connection
    open until the client goes) or closes."""

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                peer, _ = self.listener.accept()
            except OSError:
                return
            with peer:
                peer.settimeout(120)
                try:
                    peer.recv(4096)
                    if self.behaviour == "garbage":
                        peer.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + bytes(range(256)) * 4)
                        while peer.recv(4096):
                            pass
                except OSError:
                    pass

    def stop(self):
        self.listener.close()


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--wine-run", required=True)
    args = parser.parse_args()
    missing = missing_setup([args.probe])
    if missing is not None:
        return missing
    work = tempfile.mkdtemp(prefix="dorimel-wine-tls-")
    www = os.path.join(work, "www")
    os.makedirs(www)
    rng = random.Random(12)
    for size in {c[1] for c in CASES if c[1]}:
        with open(os.path.join(www, "%d.bin" % size), "wb") as f:
            f.write(rng.randbytes(size))
    servers = TlsServers(os.path.join(work, "tls"), www)
    faulty = {name: FaultyTlsServer(name) for name in ("garbage", "close")}
    ports = dict(servers.ports, **{name: f.port for name, f in faulty.items()})
    failures = []

    def probe(*arguments):
        done = subprocess.run([args.wine_run, args.probe, *arguments], capture_output=True, text=True,
                              timeout=900)
        return done.returncode, done.stdout

    try:
        rc, out = probe("install-ca", windows_path(servers.ca_der))
        if rc != 0:
            failures.append("install-ca: " + out)
        for case, size, expected in CASES:
            target = os.path.join(work, "got.bin")
            path = "/%d.bin" % size if size else "/none"
            rc, out = probe("fetch", str(ports[case]), "localhost", path, windows_path(target))
            lines = out.split("\n")
            print("%s %s: %s" % (case, size, " | ".join(l for l in lines if l)), flush=True)
            if "tls %d" % expected not in lines or rc != 0:
                failures.append("%s: expected tls %d" % (case, expected))
                continue
            if size and not (os.path.exists(target) and
                             filecmp.cmp(target, os.path.join(www, "%d.bin" % size), shallow=False)):
                failures.append("%s %d: the body differs" % (case, size))
            if os.path.exists(target):
                os.remove(target)
        print("nginx: " + " | ".join(servers.access_log()))
    finally:
        rc, out = probe("remove-ca", windows_path(servers.ca_der))
        if rc != 0:
            failures.append("remove-ca: " + out)
        servers.stop()
        for f in faulty.values():
            f.stop()
    for f in failures:
        print("FAILED " + f)
    if not failures:
        shutil.rmtree(work, ignore_errors=True)
        print("all cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
