#!/usr/bin/env python3
"""https with the real dorimel.exe under Wine (Japanese locale), SChannel
against nginx with TLS on 127.0.0.1. One fixture: certificates made now by a
test CA, which is put into the Wine prefix's CurrentUser "Root" store for the
run, and one nginx (tests/win/tls_servers.py). A table of cases:

  EnableHttps=1 in [MainOptions]: an https URL typed into the new-download
  dialog or picked from a sentence on the clipboard, a split 50 MB download from the command line, a redirect from
  http to https, a speed-limited download and one through tinyproxy's
  CONNECT tunnel arrive byte-identical; untrusted, expired and wrong-name
  certificates stop the job at once with their row (no retry, no file).
  EnableHttps absent (the default 0): a typed https URL is refused with
  string 57, and a redirect to https stops with string 77.

usage: https_test.py --dorimel EXE --uiauto EXE --probe seam_probe.exe
Exit status: 0 passed, 1 failed (also when the display or a program is missing),
77 skipped (only with DORIMEL_ALLOW_SKIP=1, see tests/win/uiauto.py).
"""
import argparse
import filecmp
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win"))
from tls_servers import TinyProxy, TlsServers  # noqa: E402
import uiauto  # noqa: E402
from uiauto import WINE_RUN, UiAuto, UiAutoError, missing_setup, unescape, windows_path  # noqa: E402

NEW_DOWNLOAD = "新規ダウンロード"
SESSION0_LOG = 100
URL_BOX = 1000
STOPPED_ROW = "停止しました"
CONNECTING_ROW = "サーバに接続しています・・・"
REFUSED_57 = "URLが不正です。URLは HTTPおよびFTP のみ有効です。"
ROW_77 = "HTTPかFTP以外へは転送できません"
UNTRUSTED_ROW = "サーバの証明書は信頼できません。ダウンロードを中止します。"
EXPIRED_ROW = "サーバの証明書は有効期限外です。ダウンロードを中止します。"
NAME_ROW = "サーバの証明書はホスト名と一致しません。ダウンロードを中止します。"

SMALL, BIG = 100001, 50 * 1024 * 1024

# (what, EnableHttps or None for absent, how the URL is given, server, file,
#  outcome: "file" for the file byte-identical, "box:<text>" for a message
#  box of the dialog, "row:<text>" for a log row that stops the job)
CASES = [
    ("typed https URL", 1, "dialog", "good", "small.bin", "file"),
    ("https URL picked from the clipboard", 1, "clipboard", "good", "small.bin", "file"),
    ("split 50 MB over https", 1, "split", "good", "big.bin", "file"),
    ("redirect from http to https", 1, "command", "redirect", "small.bin", "file"),
    ("speed-limited https (the tick reads)", 1, "limited", "good", "small.bin", "file"),
    ("https through a proxy's CONNECT tunnel", 1, "proxy", "good", "small.bin", "file"),
    ("untrusted certificate", 1, "command", "untrusted", "small.bin", "row:" + UNTRUSTED_ROW),
    ("expired certificate", 1, "command", "expired", "small.bin", "row:" + EXPIRED_ROW),
    ("wrong host name", 1, "command", "wrong_name", "small.bin", "row:" + NAME_ROW),
    ("default: typed https URL", None, "dialog", "good", "small.bin", "box:" + REFUSED_57),
    ("default: redirect to https", None, "command", "redirect", "small.bin", "row:" + ROW_77),
]

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return condition


def log_texts(ui, hwnd):
    texts = []
    for line in ui.call("listview", "--hwnd", hwnd, "--id", SESSION0_LOG).splitlines():
        f = line.split("\t")
        if f[0] == "row" and len(f) > 3:
            texts.append(unescape(f[3]))
    return texts


def wait_for(what, probe, timeout_s):
    return uiauto.wait_for(what, probe, timeout_s, check)


def url_of(servers, server, name):
    if server == "redirect":
        return "http://127.0.0.1:%d/%s" % (servers.ports["redirect"], name)
    return servers.url(server, "/" + name)


def run_case(ui, exe, servers, proxy, www, work, n, case):
    what, enable, how, server, name, outcome = case
    print("case: " + what, flush=True)
    program_dir = os.path.join(work, "program%d" % n)
    dest = os.path.join(work, "dest%d" % n)
    os.makedirs(program_dir)
    os.makedirs(dest)
    program = os.path.join(program_dir, "dorimel.exe")
    shutil.copy(exe, program)
    if enable is not None:
        with open(os.path.join(program_dir, "dorimel.ini"), "wb") as f:
            f.write(b"[MainOptions]\r\nEnableHttps=%d\r\n" % enable)
    url = url_of(servers, server, name)
    if how == "clipboard":
        ui.call("clipboard-set", "ファイルは %s にあります。" % url)
    if how in ("dialog", "clipboard"):
        run = ui.run(program, "-ac", "1", "-td", windows_path(dest))
    else:
        limit = ["-sl", "1", "-ss", "40"] if how == "limited" else []
        if how == "proxy":
            limit = ["-pr", "127.0.0.1:%d" % proxy.port]
        run = ui.run(program, "-nd", "1", "-ac", "1", "-sp", "1" if how == "split" else "0", *limit,
                     "-td", windows_path(dest), url)
    pid = run.pid
    exited = False
    try:
        if how == "dialog":
            dialog = ui.wait_window(pid=pid, title=NEW_DOWNLOAD, timeout_ms=60000)["hwnd"]
            ui.call("settext", "--hwnd", dialog, "--id", URL_BOX, url)
        if how == "clipboard":
            dialog = ui.wait_window(pid=pid, title=NEW_DOWNLOAD, timeout_ms=60000)["hwnd"]
            shown = {c["id"]: c["text"] for c in ui.dump(dialog)}.get(URL_BOX)
            check(shown == url, "%s: the dialog shows %r" % (what, shown))
        if how in ("dialog", "clipboard"):
            ui.call("click", "--hwnd", dialog, "--id", 1)
        if outcome == "file":
            code = run.wait_exit(timeout_ms=300000)
            exited = True
            check(code == 0, "%s: exit code %d" % (what, code))
            target = os.path.join(dest, name)
            check(os.listdir(dest) == [name], "%s: destination holds %r" % (what, os.listdir(dest)))
            check(os.path.exists(target) and filecmp.cmp(target, os.path.join(www, name), shallow=False),
                  "%s: content differs" % what)
            if how == "proxy":
                check("CONNECT localhost:%d" % servers.ports[server] in proxy.log(),
                      "%s: the proxy opened a tunnel" % what)
            if how == "split":
                wanted = "GET /%s HTTP/1.0 | range=bytes=%d-" % (name, BIG // 2)
                check(any(line.endswith(wanted) for line in servers.access_log()),
                      "%s: the second session asked for the second half" % what)
        elif outcome.startswith("box:"):
            box = ui.msgbox(pid, timeout_ms=60000)
            check(box.get("text") == outcome[4:], "%s: message %r" % (what, box.get("text")))
            ui.answer(pid, "ok")
            check(not os.listdir(dest), "%s: nothing written" % what)
        else:
            window = ui.wait_window(pid=pid, timeout_ms=60000)["hwnd"]
            rows = wait_for(what + ": the stop",
                            lambda: (lambda t: t if STOPPED_ROW in t else None)(log_texts(ui, window)), 120)
            rows = rows or log_texts(ui, window)
            print("  rows: " + " | ".join(rows), flush=True)
            check(outcome[4:] in rows, "%s: row %r" % (what, outcome[4:]))
            check(sum(r.startswith(CONNECTING_ROW) for r in rows) == 1 + (server == "redirect"),
                  "%s: no retry" % what)
            check(not os.listdir(dest), "%s: destination holds %r" % (what, os.listdir(dest)))
    except UiAutoError as e:
        check(False, "%s: %s" % (what, e))
    finally:
        if not exited:
            ui.kill(pid)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dorimel", required=True)
    parser.add_argument("--uiauto", required=True)
    parser.add_argument("--probe", required=True)
    args = parser.parse_args()
    missing = missing_setup([args.dorimel, args.uiauto, args.probe])
    if missing is not None:
        return missing
    ui = UiAuto(args.uiauto)
    work = tempfile.mkdtemp(prefix="dorimel-wine-https-")
    www = os.path.join(work, "www")
    os.makedirs(www)
    rng = random.Random(443)
    for name, size in (("small.bin", SMALL), ("big.bin", BIG)):
        with open(os.path.join(www, name), "wb") as f:
            f.write(rng.randbytes(size))
    servers = TlsServers(os.path.join(work, "tls"), www)
    os.chmod(work, 0o711)  # tinyproxy may run as nobody: it must reach its folder
    proxy = TinyProxy(os.path.join(work, "proxy"))

    def probe(mode):
        done = subprocess.run([WINE_RUN, args.probe, mode, windows_path(servers.ca_der)],
                              capture_output=True, text=True, timeout=120)
        check(done.returncode == 0, "%s: %s" % (mode, done.stdout.strip()))

    try:
        probe("install-ca")
        for n, case in enumerate(CASES):
            started = time.time()
            run_case(ui, args.dorimel, servers, proxy, www, work, n, case)
            print("  %.1f s" % (time.time() - started), flush=True)
    finally:
        probe("remove-ca")
        servers.stop()
        proxy.stop()
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("all cases passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
