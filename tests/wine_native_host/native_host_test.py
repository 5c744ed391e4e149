#!/usr/bin/env python3
"""DorimelHost.exe under Wine, driven as a browser drives it: frames on its
standard input, the caller's origin and --parent-window=0 as arguments. A good
request starts dorimel.exe (beside it) with the browser module's parameter
text, whose download from nginx on 127.0.0.1 carries the cookie that no
command line holds; bad requests get an error reply and start nothing;
--register and --unregister write and remove the manifests and HKCU keys.

usage: native_host_test.py --win64 TREE --work FOLDER
"""
import argparse
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "win"))
sys.path.insert(0, os.path.join(HERE, "..", "wine_browser"))
from uiauto import WINE_RUN, UiAuto, UiAutoError, missing_setup, windows_path  # noqa: E402
import browser_test as bt  # noqa: E402  (Wine, registry and process helpers)
from browser_test import check, check_equal, failures  # noqa: E402

ORIGIN = "chrome-extension://ealaikofgjonemfojipmlkdhckdghgej/"
HOST_KEYS = [r"HKCU\Software\Google\Chrome\NativeMessagingHosts\jp.dorimel.host",
             r"HKCU\Software\Microsoft\Edge\NativeMessagingHosts\jp.dorimel.host",
             r"HKCU\Software\Mozilla\NativeMessagingHosts\jp.dorimel.host"]
COOKIE = "session=WineSecret5120; theme=dark"


class Nginx:
    """nginx on a free port of 127.0.0.1 logging each request's Referer and Cookie."""

    def __init__(self, folder, root):
        self.folder = folder
        for _ in range(5):
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                self.port = s.getsockname()[1]
            conf = os.path.join(folder, "nginx.conf")
            with open(conf, "w") as f:
                f.write("daemon off;\nmaster_process off;\nworker_processes 1;\n"
                        "pid {0}/nginx.pid;\nerror_log {0}/error.log;\nevents {{ worker_connections 64; }}\n"
                        "http {{\n  default_type application/octet-stream;\n"
                        "  log_format h '$request | referer=$http_referer | cookie=$http_cookie';\n"
                        "  access_log {0}/access.log h;\n  client_body_temp_path {0}/body;\n"
                        "  proxy_temp_path {0}/proxy;\n  fastcgi_temp_path {0}/fastcgi;\n"
                        "  uwsgi_temp_path {0}/uwsgi;\n  scgi_temp_path {0}/scgi;\n  keepalive_timeout 0;\n"
                        "  server {{\n    listen 127.0.0.1:{1};\n    root {2};\n  }}\n}}\n"
                        .format(folder, self.port, root))
            self.process = subprocess.Popen(["nginx", "-p", folder, "-c", conf, "-e", folder + "/error.log"],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and self.process.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", self.port), 1).close()
                    return
                except OSError:
                    time.sleep(0.05)  # nginx starting: polled, bounded
            self.stop()
        raise RuntimeError("nginx did not start")

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def log(self):
        try:
            with open(os.path.join(self.folder, "access.log")) as f:
                return f.read().splitlines()
        except OSError:
            return []

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=20)


class Host:
    """DorimelHost.exe with pipes on its standard input and output."""

    def __init__(self, exe):
        self.process = subprocess.Popen([WINE_RUN, exe, ORIGIN, "--parent-window=0"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)

    def send_raw(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def send(self, message):
        body = (message if isinstance(message, str) else json.dumps(message)).encode("utf-8")
        self.send_raw(struct.pack("=I", len(body)) + body)

    def reply(self):
        header = self.process.stdout.read(4)
        if len(header) < 4:
            return None
        return json.loads(self.process.stdout.read(struct.unpack("=I", header)[0]))

    def finish(self):
        """Closes the input; (exit code, anything more on standard output).
        Under Wine a program the host started keeps the host's output pipe
        open: what is there is read without waiting for its end."""
        self.process.stdin.close()
        code = self.process.wait(timeout=60)
        os.set_blocking(self.process.stdout.fileno(), False)
        rest = self.process.stdout.read() or b""
        return code, rest


def processes_holding(text):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if text.encode() in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found


def run(args, env):
    folder = env.folder("native_host", dll=False, script=False)
    exe = os.path.join(folder, "DorimelHost.exe")
    shutil.copy(args.host_exe, exe)
    dst = os.path.join(args.work, "dst")
    www = os.path.join(args.work, "www")
    shutil.rmtree(dst, ignore_errors=True)
    os.makedirs(dst)
    os.makedirs(www, exist_ok=True)
    content = bytes((i * 7 + i // 251) & 0xFF for i in range(150000))
    with open(os.path.join(www, "f.bin"), "wb") as f:
        f.write(content)
    logs = os.path.join(args.work, "nginx")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    nginx = Nginx(logs, www)
    try:
        # The module's settings file gives the options in front of the URL.
        bt.write_ini(os.path.join(folder, "DorimelDLM.ini"),
                     [("Options", "-nd 1 -td " + windows_path(dst))])
        url, page = nginx.url("/f.bin"), nginx.url("/page.html")
        host = Host(exe)
        host.send({"type": "hello"})
        check_equal(host.reply(), {"ok": True, "version": "0.11", "schemes": ["http", "ftp"]},
                    "hello with dorimel.ini absent")
        with open(os.path.join(folder, "dorimel.ini"), "w") as f:
            f.write("[MainOptions]\r\nEnableHttps=1\r\n")
        host.send({"type": "hello"})
        check_equal(host.reply()["schemes"], ["http", "https", "ftp"], "hello with EnableHttps=1")
        host.send({"type": "download", "url": url, "referrer": page, "cookies": COOKIE, "filename": "f.bin"})
        check_equal(host.reply(), {"ok": True}, "download reply")
        code, rest = host.finish()
        check_equal((code, rest), (0, b""), "exit at end of input, nothing but frames written")

        started = bt.started_command_lines(env, "dorimel.exe", folder)
        check_equal([c for _, c in started],
                    ['"%s" -nd 1 -td %s %s -rf %s' % (windows_path(os.path.join(folder, "dorimel.exe")),
                                                      windows_path(dst), url, page)],
                    "dorimel.exe's command line")
        check_equal(processes_holding("WineSecret5120"), [], "processes whose command line holds the cookie")
        target = os.path.join(dst, "f.bin")
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not (os.path.exists(target) and os.path.getsize(target) == len(content)):
            time.sleep(0.2)  # the download in another process: polled, bounded
        if check(os.path.exists(target), "downloaded file"):
            with open(target, "rb") as f:
                check(f.read() == content, "downloaded file is identical")
        check_equal(nginx.log(), ["GET /f.bin HTTP/1.0 | referer=%s | cookie=%s" % (page, COOKIE)],
                    "request as the server saw it")
        bt.kill_started(env, "dorimel.exe", folder)

        # Bad requests: an error reply each, nothing started.
        os.remove(os.path.join(folder, "dorimel.ini"))
        host = Host(exe)
        host.send_raw(struct.pack("=I", 100000) + b"x" * 100000)
        bad = ["{not json", {"type": "download"}, {"type": "download", "url": "javascript:void 0"},
               {"type": "download", "url": "http://127.0.0.1/a\nb"},
               {"type": "download", "url": url, "cookies": "a=1\r\nX-Injected: 1"},
               {"type": "download", "url": "http://127.0.0.1/caf\u00e9.bin"},  # not in code page 932
               {"type": "upload", "url": url}]
        check_equal(host.reply()["error"], "bad_message", "message beyond the bound")
        for message in bad:
            host.send(message)
            reply = host.reply()
            check(reply is not None and reply.get("ok") is False and reply.get("error") == "bad_message",
                  "refused: %r -> %r" % (message, reply))
        host.send({"type": "download", "url": "https://127.0.0.1:1/f"})
        check_equal(host.reply().get("error"), "scheme", "https refused with EnableHttps absent")
        check_equal(host.finish()[0], 0, "exit after bad requests")
        check_equal(bt.started_command_lines(env, "dorimel.exe", folder, 0), [], "nothing started by bad requests")
    finally:
        nginx.stop()

    # Registration for the current user.
    for key in HOST_KEYS:
        bt.reg_delete(key)
    check_equal(bt.wine(exe, "--register")[0], 0, "--register exit code")
    chromium = os.path.join(folder, "jp.dorimel.host.json")
    firefox = os.path.join(folder, "jp.dorimel.host.firefox.json")
    for key, manifest in zip(HOST_KEYS, (chromium, chromium, firefox)):
        check_equal(bt.reg_value(key), windows_path(manifest), key)
    for manifest, allowed in ((chromium, {"allowed_origins": [ORIGIN]}),
                              (firefox, {"allowed_extensions": ["handoff@dorimel"]})):
        with open(manifest, encoding="utf-8") as f:
            check_equal(json.load(f), dict({"name": "jp.dorimel.host", "description": "Dorimel download hand-off",
                                            "path": windows_path(exe), "type": "stdio"}, **allowed), manifest)
    check_equal(bt.wine(exe, "--unregister")[0], 0, "--unregister exit code")
    check_equal([k for k in HOST_KEYS if bt.reg_exists(k)], [], "keys left after --unregister")
    check_equal([m for m in (chromium, firefox) if os.path.exists(m)], [], "manifests left after --unregister")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--win64", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    args.host_exe = os.path.join(args.win64, "native_host", "DorimelHost.exe")
    env = bt.Env(args)
    missing = missing_setup([args.host_exe, env.host, env.dorimel, env.ui.exe])
    if missing is not None:
        return missing
    os.environ.setdefault("WINEPREFIX", os.path.abspath(os.path.join(HERE, "..", "..", "build", "wineprefix")))
    try:
        run(args, env)
    except (UiAutoError, subprocess.TimeoutExpired, RuntimeError) as error:
        failures.append(str(error))
        print("FAIL: " + str(error), flush=True)
    finally:
        bt.kill_started(env, "dorimel.exe", args.work)
    if failures:
        print("%d failure(s)" % len(failures), flush=True)
        return 1
    print("native host under Wine: all checks passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
