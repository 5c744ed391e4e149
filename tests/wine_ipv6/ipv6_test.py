#!/usr/bin/env python3
"""IPv6 with the real dorimel.exe under Wine (Japanese locale), driven through
tests/win/uiauto.exe. An HTTP server of this script listens on [::1] only,
another on 127.0.0.1 only:

  EnableIpv6=1: http://[::1]:PORT/ arrives byte-identical, the connecting row
  showing "[::1]"; a name (localhost) is looked up on the seam's lookup
  thread and arrives too.
  EnableIpv6 absent (the default 0): the same bracketed URL logs
  "URLが不正です。" and nothing connects.

usage: ipv6_test.py --dorimel EXE --uiauto EXE
Exit status: 0 passed, 1 failed, 77 skipped (only with DORIMEL_ALLOW_SKIP=1).
"""
import argparse
import http.server
import os
import random
import shutil
import socket
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win"))
import uiauto  # noqa: E402
from uiauto import UiAuto, UiAutoError, missing_setup, unescape, windows_path  # noqa: E402

SESSION0_LOG = 100
INVALID_ROW = "URLが不正です。"
CONNECTING_ROW = "サーバに接続しています・・・"
SIZE = 3 * 1024 * 1024 + 17

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return condition


def start_server(family, address, root):
    handler = lambda *a, **k: QuietHandler(*a, directory=root, **k)  # noqa: E731
    server = type("S", (http.server.ThreadingHTTPServer,), {"address_family": family})((address, 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def log_texts(ui, hwnd):
    texts = []
    for line in ui.call("listview", "--hwnd", hwnd, "--id", SESSION0_LOG).splitlines():
        f = line.split("\t")
        if f[0] == "row" and len(f) > 3:
            texts.append(unescape(f[3]))
    return texts


def run_case(ui, exe, work, n, what, enable, url, expect_file):
    print("case: " + what, flush=True)
    program_dir = os.path.join(work, "program%d" % n)
    dest = os.path.join(work, "dest%d" % n)
    os.makedirs(program_dir)
    os.makedirs(dest)
    program = os.path.join(program_dir, "dorimel.exe")
    shutil.copy(exe, program)
    if enable:
        with open(os.path.join(program_dir, "dorimel.ini"), "wb") as f:
            f.write(b"[MainOptions]\r\nEnableIpv6=1\r\n")
    # -ac 0: the window stays, so its rows can be read after the download.
    pid = ui.start(program, "-nd", "1", "-ac", "0", "-td", windows_path(dest), url)
    try:
        window = ui.wait_window(pid=pid, timeout_ms=60000)["hwnd"]
        wanted = "f.bin" if expect_file else None

        def settled():
            rows = log_texts(ui, window)
            if expect_file:
                return rows if os.listdir(dest) == [wanted] and not os.path.exists(
                    os.path.join(dest, wanted + ".dorimelt")) else None
            return rows if INVALID_ROW in rows else None

        rows = uiauto.wait_for(what, settled, 120, check) or log_texts(ui, window)
        print("  rows: " + " | ".join(rows), flush=True)
        if expect_file:
            target = os.path.join(dest, wanted)
            check(os.path.exists(target) and open(target, "rb").read() == open(os.path.join(work, "www", wanted),
                                                                                  "rb").read(),
                  "%s: content differs" % what)
            if "[::1]" in url:
                check(any(r.startswith(CONNECTING_ROW) and r.endswith("([::1])") for r in rows),
                      "%s: the connecting row shows [::1]" % what)
        else:
            check(not any(r.startswith(CONNECTING_ROW) for r in rows), "%s: nothing connects" % what)
            check(not os.listdir(dest), "%s: nothing written" % what)
    except UiAutoError as e:
        check(False, "%s: %s" % (what, e))
    finally:
        ui.kill(pid)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dorimel", required=True)
    parser.add_argument("--uiauto", required=True)
    args = parser.parse_args()
    missing = missing_setup([args.dorimel, args.uiauto])
    if missing is not None:
        return missing
    ui = UiAuto(args.uiauto)
    work = tempfile.mkdtemp(prefix="dorimel-wine-ipv6-")
    www = os.path.join(work, "www")
    os.makedirs(www)
    with open(os.path.join(www, "f.bin"), "wb") as f:
        f.write(random.Random(6).randbytes(SIZE))
    six = start_server(socket.AF_INET6, "::1", www)
    four = start_server(socket.AF_INET, "127.0.0.1", www)
    literal = "http://[::1]:%d/f.bin" % six.server_address[1]
    try:
        run_case(ui, args.dorimel, work, 0, "EnableIpv6=1: [::1] literal", True, literal, True)
        run_case(ui, args.dorimel, work, 1, "EnableIpv6=1: a name looked up on the lookup thread", True,
                 "http://localhost:%d/f.bin" % four.server_address[1], True)
        run_case(ui, args.dorimel, work, 2, "default: a bracketed URL is invalid", False, literal, False)
    finally:
        six.shutdown()
        four.shutdown()
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("all cases passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
