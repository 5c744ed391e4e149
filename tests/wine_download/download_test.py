#!/usr/bin/env python3
"""HTTP downloads with the real dorimel.exe under Wine against our fault server
on 127.0.0.1, seen through the UI automation tool.

  files     -nd 1 -ac 1 -td <folder> <url>: 1 byte, 100000, 100001 and 50 MB
            files arrive byte-identical, the window closes itself with exit
            code 0 and no temporary file is left; with -sp 1 the second
            session asks for "Range: bytes=<half>-" (100000 bytes are never
            split, 100001 are); without -ac 1 the window stays and shows the
            finished state; with the speed limit on the title says so, and
            switching it off from the menu lets the rest flow at once; -fs 1
            plays the finish sound file, -ik 1 sends the browser's cookie.
  progress  a slow split download: title, elapsed and remaining time, speed,
            tab texts and the two-part progress bar while it runs (a
            screenshot is kept as an artefact); the toolbar's stop and resume
            buttons; close, Yes to the cancel question, No to the delete
            question; the kept temporary file named on the command line (with
            -ac 1 overriding the loaded settings) finishes the download
            byte-identical with Range requests from where each session
            stopped. A download that ends while the cancel question is open
            keeps its finished file; closing before any data asks nothing;
            Yes to the delete question removes the temporary file only, also
            after the question about an existing destination file; without
            direct delete it goes to the recycle bin.

usage: download_test.py files|progress --dorimel EXE --uiauto EXE --probe EXE
                        --server fault_server.py --artifacts DIR
"""
import argparse
import ctypes
import filecmp
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win"))
import uiauto  # noqa: E402
from uiauto import UiAuto, UiAutoError, bmp_to_png, missing_setup, unescape, windows_path  # noqa: E402

CONFIRM = "確認"
CANCEL_QUESTION = "ダウンロードをキャンセルしますか？"
DELETE_QUESTION = "ダウンロード中のファイルを削除しますか？"
TARGET_EXISTS = " はすでに存在します。\n\nダウンロードをキャンセルしますか？"
STOPPED_ROW = "停止しました"
TEMP_SUFFIX = ".dorimelt"
STATE_BLOCK = 512000

# Controls of the download window.
CLOSE_BUTTON = 2
ELAPSED = 1028
REMAINING = 1030
SPEED = 1031
RETRIES = 1026
TOOLBAR = 111
RESUME = 400
STOP = 401
SESSION0_LOG = 100
LOG_TABS = 1004
URL = 1033
TARGET_PATH = 1034
OPEN_FILE = 3
OPEN_FOLDER = 4
HASH_MENU = 1041
FINISHED_TITLE = "ダウンロードの完了"
FINISHED_ROW = "完了しました。"
SPEED_LIMITED = "（速度制限中）"
CMD_SPEED_LIMIT = 50011
TOO_LATE = "終わってしまいました。"
TOO_LATE_CAPTION = "遅かったです"
SHELL_DELETE_CONFIRMATION = "ファイルの削除の確認"  # Wine's shell asks before the recycle bin

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return condition


# ---- files and the server ------------------------------------------------------

def write_content(path, size, seed):
    """Random bytes (never repeating at another offset in practice)."""
    rng = random.Random(seed)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            f.write(rng.randbytes(n))
            left -= n


def _die_with_parent():
    # The server must not outlive the test when the test is killed.
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


class FaultServer:
    """tests/servers/fault_server.py on a free port of 127.0.0.1."""

    def __init__(self, script, root, record):
        self.record = record
        self.process = subprocess.Popen([sys.executable, script, "--root", root, "--record", record],
                                        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                        preexec_fn=_die_with_parent)
        ready, _, _ = select.select([self.process.stdout], [], [], 20)
        line = self.process.stdout.readline().decode() if ready else ""
        if not line.startswith("PORT "):
            self.stop()
            raise RuntimeError("the fault server did not start")
        self.port = int(line.split()[1])

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def requests(self):
        """Header texts of every request so far, in arrival order."""
        result, n = [], 1
        while os.path.exists(os.path.join(self.record, "%d.req" % n)):
            with open(os.path.join(self.record, "%d.req" % n), "rb") as f:
                result.append(f.read().decode("latin-1"))
            n += 1
        return result

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def range_of(request):
    """The value of the request's Range header, or None."""
    for line in request.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.lower() == "range":
            return value.strip()
    return None


def program_folder(folder, exe):
    """A private copy of the program, so that its options file is the test's."""
    os.makedirs(folder)
    program = os.path.join(folder, "dorimel.exe")
    shutil.copy(exe, program)
    return program


# ---- the window ------------------------------------------------------------------

class Run:
    """One dorimel.exe process and its download window."""

    def __init__(self, ui, probe, program, arguments):
        self.ui, self.probe = ui, probe
        self.watched = ui.run(program, *arguments)
        self.pid = self.watched.pid
        self.exited = False
        self.hwnd = None

    def window(self):
        if self.hwnd is None:
            # The caption changes while downloading: any window of the process
            # that is not a message box.
            w = self.ui.wait_window(pid=self.pid, timeout_ms=60000)
            self.hwnd = w["hwnd"]
        return self.hwnd

    def title(self):
        for w in self.ui.windows(self.pid):
            if w["hwnd"] == self.hwnd:
                return w["title"]
        return None

    def controls(self):
        return {c["id"]: c for c in self.ui.dump(self.window())}

    def toolbar(self):
        buttons = {}
        for line in self.ui.call("toolbar", "--hwnd", self.window(), "--id", TOOLBAR).splitlines():
            f = line.split("\t")
            if f[0] == "button":
                buttons[int(f[2])] = {"enabled": f[3] == "enabled=1", "checked": f[4] == "checked=1"}
        return buttons

    def log_texts(self, list_id=SESSION0_LOG):
        """The messages of a session's log, in order."""
        texts = []
        for line in self.ui.call("listview", "--hwnd", self.window(), "--id", list_id).splitlines():
            f = line.split("\t")
            if f[0] == "row" and len(f) > 3:
                texts.append(unescape(f[3]))  # the message, after the time
        return texts

    def tabs(self):
        return [unescape(line.split("\t")[3]) for line in
                self.ui.call("tabs", "--hwnd", self.window(), "--id", LOG_TABS).splitlines()
                if line.startswith("tab\t")]

    def probe_call(self, *args):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win",
                                                "wine_run.sh"), self.probe] + [str(a) for a in args],
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=90)
            out.seek(0)
            err.seek(0)
            if done.returncode != 0:
                raise UiAutoError("download_probe %s: %s" % (" ".join(map(str, args)),
                                                            err.read().decode("utf-8", "replace").strip()))
            return out.read().decode("utf-8", "replace")

    def bar(self):
        """(width, [(first, last), ...]) of the progress bar's painted runs."""
        f = self.probe_call("bar", "--hwnd", self.window()).strip().split("\t")
        runs = [tuple(int(x) for x in r.split("-")) for r in f[2].split(",")] if len(f) > 2 and f[2] else []
        return int(f[1]), runs

    def screenshot(self, png_path):
        os.makedirs(os.path.dirname(png_path), exist_ok=True)
        bmp = png_path[:-4] + ".bmp"
        self.ui.call("screenshot", "--hwnd", self.window(), windows_path(bmp))
        bmp_to_png(bmp, png_path)
        os.remove(bmp)
        print("screenshot: " + png_path, flush=True)

    def wait_exit(self, timeout_ms):
        """True when the process ended with code 0, False for another code.
        UiAutoError when it does not end in time."""
        code = self.watched.wait_exit(timeout_ms=timeout_ms)
        self.exited = True
        return code == 0

    def kill(self):
        if not self.exited:
            self.ui.kill(self.pid)
            self.exited = True
        self.watched.close()


def wait_for(what, probe, timeout_s):
    return uiauto.wait_for(what, probe, timeout_s, check)


# ---- files ------------------------------------------------------------------------

MB50 = 50 * 1024 * 1024

# (name, size, split, the Range the second session must ask for or None)
FILE_CASES = [
    ("one.bin", 1, True, None),
    ("f100000.bin", 100000, True, None),
    ("f100001.bin", 100001, True, "bytes=50000-"),
    ("big.bin", MB50, False, None),
    ("big.bin", MB50, True, "bytes=%d-" % (MB50 // 2)),
]


def pace_for(size):
    """A drip that lets the second session connect and ask before the first
    one is through, even when Wine stalls for a while on a loaded machine:
    about 4 s for 100001 bytes, 8 s for 50 MB."""
    if size <= 1:
        return ""
    return "drip=1024:40" if size < 1 << 20 else "drip=131072:20"


def test_files(ui, probe, exe, folder, server_script):
    root = os.path.join(folder, "www")
    os.mkdir(root)
    for i, (name, size, _, _) in enumerate(FILE_CASES):
        if not os.path.exists(os.path.join(root, name)):
            write_content(os.path.join(root, name), size, seed=i)
    program = program_folder(os.path.join(folder, "program"), exe)
    for n, (name, size, split, expected_range) in enumerate(FILE_CASES):
        what = "%s (%d bytes, -sp %d)" % (name, size, split)
        print("case: " + what, flush=True)
        record = os.path.join(folder, "record%d" % n)
        dest = os.path.join(folder, "dest%d" % n)
        os.mkdir(record)
        os.mkdir(dest)
        server = FaultServer(server_script, root, record)
        pace = pace_for(size) if split else ""
        url = server.url(("/x/%s/%s" % (pace, name)) if pace else "/f/" + name)
        run = Run(ui, None, program, ["-nd", "1", "-ac", "1", "-sp", "1" if split else "0",
                                      "-td", windows_path(dest), url])
        started = time.time()
        try:
            ended_with_0 = run.wait_exit(timeout_ms=180000)
            print("  finished in %.1f s" % (time.time() - started), flush=True)
            check(ended_with_0, "%s: exit code" % what)
        except UiAutoError as e:
            check(False, "%s: %s" % (what, e))
        finally:
            run.kill()
            server.stop()
        target = os.path.join(dest, name)
        check(sorted(os.listdir(dest)) == [name], "%s: destination holds %r" % (what, os.listdir(dest)))
        if os.path.exists(target):
            check(os.path.getsize(target) == size, "%s: %d bytes arrived" % (what, os.path.getsize(target)))
            check(filecmp.cmp(target, os.path.join(root, name), shallow=False), "%s: content differs" % what)
        requests = server.requests()
        ranges = [range_of(r) for r in requests]
        expected = [None] + ([expected_range] if expected_range else [])
        check(ranges == expected, "%s: Range headers %r, expected %r" % (what, ranges, expected))
        shutil.rmtree(dest, ignore_errors=True)
    test_finished_window(ui, probe, program, folder, server_script, root)
    test_speed_limit(ui, probe, program, folder, server_script, root)
    test_sound_and_cookie(ui, probe, program, folder, server_script)


def test_sound_and_cookie(ui, probe, program, folder, server_script):
    """-fs 1 -sf FILE plays the sound file at the end (seen as the program
    opening it: the display has no sound device), -fs 0 does not; -ik 1 sends
    the browser's cookie for the URL (stored through WinInet as a visited page
    would), -ik 0 does not."""
    what = "finish sound and browser cookie"
    print("case: " + what, flush=True)
    root, record = os.path.join(folder, "www-cookie"), os.path.join(folder, "record-cookie")
    for path in (root, record):
        os.mkdir(path)
    write_content(os.path.join(root, "c.bin"), 1000, seed=7)
    sound = os.path.join(folder, "done.wav")
    with wave.open(sound, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(1)
        w.setframerate(8000)
        w.writeframes(b"\x80" * 800)
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    server = FaultServer(server_script, root, record)
    url = server.url("/f/c.bin")
    cookie = "dorimel_test=kept-1; path=/f/; expires=%s"
    try:
        probe_call(probe, "set-cookie", url, cookie % "Fri, 01 Jan 2038 00:00:00 GMT")
        for on in ("1", "0"):
            # inotify: IN_OPEN on the sound file, read after the run.
            watch = libc.inotify_init1(os.O_NONBLOCK)
            check(watch >= 0 and libc.inotify_add_watch(watch, sound.encode(), 0x20) >= 0, "inotify")
            dest = os.path.join(folder, "dest-cookie" + on)
            os.mkdir(dest)
            run = Run(ui, probe, program, ["-nd", "1", "-ac", "1", "-fs", on, "-sf", windows_path(sound),
                                           "-ik", on, "-td", windows_path(dest), url])
            try:
                check(run.wait_exit(timeout_ms=60000), "%s %s: exit code" % (what, on))
            except UiAutoError as e:
                check(False, "%s %s: %s" % (what, on, e))
            finally:
                run.kill()
            try:
                opened = len(os.read(watch, 4096)) > 0
            except BlockingIOError:
                opened = False
            os.close(watch)
            check(opened == (on == "1"), "%s: -fs %s, sound file opened: %s" % (what, on, opened))
            check(os.listdir(dest) == ["c.bin"], "%s %s: destination holds %r" % (what, on, os.listdir(dest)))
        requests = server.requests()
        cookies = [[line for line in r.split("\r\n") if line.lower().startswith("cookie:")] for r in requests]
        check(cookies == [["Cookie: dorimel_test=kept-1"], []], "%s: Cookie headers %r" % (what, cookies))
    finally:
        probe_call(probe, "set-cookie", url, cookie % "Thu, 01 Jan 1970 00:00:00 GMT")
        server.stop()


def probe_call(probe, *args):
    """download_probe.exe with these arguments; UiAutoError when it fails."""
    done = subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win", "wine_run.sh"),
                           probe] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=90)
    if done.returncode != 0:
        raise UiAutoError("download_probe %s failed" % args[0])


def test_finished_window(ui, probe, program, folder, server_script, root):
    """Without -ac 1 the window stays after the end, showing the final state."""
    name = "f100001.bin"
    what = "finished window (-ac 0)"
    print("case: " + what, flush=True)
    record = os.path.join(folder, "record-finished")
    dest = os.path.join(folder, "dest-finished")
    os.mkdir(record)
    os.mkdir(dest)
    server = FaultServer(server_script, root, record)
    run = Run(ui, probe, program, ["-nd", "1", "-ac", "0", "-sp", "1", "-td", windows_path(dest),
                                   server.url("/f/" + name)])
    try:
        done = ui.wait_window(pid=run.pid, title=FINISHED_TITLE, timeout_ms=60000)
        run.hwnd = done["hwnd"]
        c = run.controls()
        for control in (OPEN_FILE, OPEN_FOLDER, HASH_MENU):
            check(c[control]["enabled"], "%s: control %d not enabled" % (what, control))
        check(c[CLOSE_BUTTON]["text"] == "閉じる", "%s: close button %r" % (what, c[CLOSE_BUTTON]["text"]))
        check(c[REMAINING]["text"] == "00:00:00", "%s: remaining %r" % (what, c[REMAINING]["text"]))
        check(c[SPEED]["text"] == "0.00 kb/s", "%s: speed %r" % (what, c[SPEED]["text"]))
        buttons = run.toolbar()
        check(not buttons[RESUME]["enabled"] and not buttons[STOP]["enabled"], "%s: toolbar %r" % (what, buttons))
        check(FINISHED_ROW in run.log_texts(), "%s: no %r row" % (what, FINISHED_ROW))
        width, runs = run.bar()
        check(runs == [(0, width)], "%s: progress bar %r of width %d" % (what, runs, width))
        check(filecmp.cmp(os.path.join(dest, name), os.path.join(root, name), shallow=False),
              "%s: content differs" % what)
        # Ended: closing asks nothing.
        ui.call("click", "--hwnd", run.hwnd, "--id", CLOSE_BUTTON)
        check(run.wait_exit(timeout_ms=30000), "%s: exit code" % what)
    except UiAutoError as e:
        check(False, "%s: %s" % (what, e))
    finally:
        run.kill()
        server.stop()


def test_speed_limit(ui, probe, program, folder, server_script, root):
    """-sl 1 -ss 20: the title says the speed is limited; switching the limit
    off from the option menu lets the held-back data flow at once (at 20 K/s
    the rest would take minutes)."""
    what = "speed limit switched off"
    print("case: " + what, flush=True)
    record = os.path.join(folder, "record-limit")
    dest = os.path.join(folder, "dest-limit")
    os.mkdir(record)
    os.mkdir(dest)
    big = os.path.join(root, "limit.bin")
    write_content(big, 3 << 20, seed=12)
    server = FaultServer(server_script, root, record)
    run = Run(ui, probe, program, ["-nd", "1", "-ac", "1", "-sp", "1", "-sl", "1", "-ss", "20",
                                   "-td", windows_path(dest), server.url("/f/limit.bin")])
    try:
        run.window()
        title = wait_for("the limited title with both sessions running",
                         lambda: (lambda t: t if t and t.endswith(" / limit.bin " + SPEED_LIMITED)
                                  and len(run.bar()[1]) == 2 else None)(run.title()), 40)
        check(title is not None and re.match(r"^\d+% / limit\.bin （速度制限中）$", title) is not None,
              "%s: title %r" % (what, title))
        ui.call("command", "--hwnd", run.window(), "--id", CMD_SPEED_LIMIT)
        check(run.wait_exit(timeout_ms=60000), "%s: exit code" % what)
    except UiAutoError as e:
        check(False, "%s: %s" % (what, e))
    finally:
        run.kill()
        server.stop()
    check(os.listdir(dest) == ["limit.bin"], "%s: destination holds %r" % (what, os.listdir(dest)))
    if os.path.exists(os.path.join(dest, "limit.bin")):
        check(filecmp.cmp(os.path.join(dest, "limit.bin"), big, shallow=False), "%s: content differs" % what)


# ---- progress, stop and resume ----------------------------------------------------

SLOW_SIZE = 4 * 1024 * 1024
TIME = re.compile(r"^\d\d:\d\d:\d\d$")


def seconds(text):
    h, m, s = (int(x) for x in text.split(":"))
    return h * 3600 + m * 60 + s


def test_progress(ui, probe, exe, folder, server_script, artifacts):
    root = os.path.join(folder, "www")
    os.mkdir(root)
    name = "slow.bin"
    write_content(os.path.join(root, name), SLOW_SIZE, seed=7)
    record = os.path.join(folder, "record")
    # A Japanese folder name with a blank: every path goes through the ANSI
    # code page (932) on its way to the files and back from the command line.
    dest = os.path.join(folder, "ダウンロード 先")
    os.mkdir(record)
    os.mkdir(dest)
    program = program_folder(os.path.join(folder, "program"), exe)
    server = FaultServer(server_script, root, record)
    # Both sessions' first requests, and their requests after the resume
    # button, drip at about 80 KiB/s each; once the kept file is named on the
    # command line, the rest is served at full speed.
    url = server.url("/x/drip=4096:50,times=4/" + name)
    print("case: a slow split download, shown, stopped and kept", flush=True)
    run = Run(ui, probe, program, ["-nd", "1", "-ac", "0", "-sp", "1", "-td", windows_path(dest), url])
    resumed = None
    try:
        run.window()
        # Both sessions receive, two seconds have passed and the speed and
        # the remaining time have been shown.
        def running():
            c = run.controls()
            width, runs = run.bar()
            if (len(runs) == 2 and seconds_or_0(c[ELAPSED]["text"]) >= 2
                    and c[SPEED]["text"] not in ("", "0.00 kb/s") and TIME.match(c[REMAINING]["text"])):
                return c, width, runs
            return None

        seen = wait_for("both sessions running with the figures shown", running, 60)
        if seen:
            c, width, runs = seen
            title = run.title()
            print("  title %r, elapsed %r, remaining %r, speed %r, retries %r, bar %d %r" % (
                title, c[ELAPSED]["text"], c[REMAINING]["text"], c[SPEED]["text"], c[RETRIES]["text"],
                width, runs), flush=True)
            m = re.match(r"^(\d+)% / slow\.bin $", title or "")
            check(m is not None, "title while running: %r" % title)
            speed = re.match(r"^(\d+\.\d\d) kb/s$", c[SPEED]["text"])
            # Two sessions of about 80 KiB/s each; generous bounds for a loaded machine.
            check(speed is not None and 20 <= float(speed.group(1)) <= 400, "speed %r" % c[SPEED]["text"])
            remaining = seconds(c[REMAINING]["text"])
            check(5 <= remaining <= 600, "remaining time %r" % c[REMAINING]["text"])
            # The first start counts as the first attempt; the split does not count.
            check(c[RETRIES]["text"] == "1 / 32", "retries %r" % c[RETRIES]["text"])
            tabs = run.tabs()
            check(len(tabs) == 2 and re.match(r"^\d+K / 2048K - \d+\.\d\d kb/s$", tabs[0]) is not None
                  and re.match(r"^\d+K / 4096K - \d+\.\d\d kb/s$", tabs[1]) is not None,
                  "tab texts %r" % tabs)
            check(c[CLOSE_BUTTON]["text"] == "ｷｬﾝｾﾙ", "close button while running: %r" % c[CLOSE_BUTTON]["text"])
            check(c[TARGET_PATH]["text"] == windows_path(os.path.join(dest, name)),
                  "target path shown as %r" % c[TARGET_PATH]["text"])
            check(c[URL]["text"] == url, "URL shown as %r" % c[URL]["text"])
            # The first half's run starts at the left edge, the second at the middle.
            (a0, a1), (b0, b1) = runs
            check(a0 == 0 and a1 < width // 2 and abs(b0 - width // 2) <= 1 and b1 < width,
                  "progress bar runs %r of width %d" % (runs, width))
            run.screenshot(os.path.join(artifacts, "wine_download_progress.png"))

        buttons = run.toolbar()
        check(not buttons[RESUME]["enabled"] and buttons[STOP]["enabled"], "toolbar while running: %r" % buttons)
        run.probe_call("toolbar-click", "--hwnd", run.window(), "--id", STOP)
        buttons = wait_for("the stopped toolbar",
                           lambda: (lambda b: b if b[RESUME]["enabled"] and not b[STOP]["enabled"] else None)(
                               run.toolbar()), 20)
        wait_for("the speed shown as 0 after the stop",
                 lambda: run.controls()[SPEED]["text"] == "0.00 kb/s", 20)
        check(STOPPED_ROW in run.log_texts(), "no stopped row in session 0's log")
        stopped_title = run.title()
        check(re.match(r"^\d+% / slow\.bin $", stopped_title or "") is not None,
              "title after the stop: %r" % stopped_title)

        # The resume button: every session goes through the 5-second retry
        # wait, then asks for the rest of its range.
        run.probe_call("toolbar-click", "--hwnd", run.window(), "--id", RESUME)
        buttons = run.toolbar()
        check(not buttons[RESUME]["enabled"] and buttons[STOP]["enabled"], "toolbar after resuming: %r" % buttons)
        wait_for("the requests of the resumed sessions", lambda: len(server.requests()) >= 4, 40)
        button_starts = range_starts(server.requests()[2:])
        check(len(button_starts) == 2 and 0 < button_starts[0] < SLOW_SIZE // 2 < button_starts[1] < SLOW_SIZE,
              "ranges after the resume button: %r" % button_starts)
        run.probe_call("toolbar-click", "--hwnd", run.window(), "--id", STOP)
        wait_for("the toolbar stopped again",
                 lambda: (lambda b: b[RESUME]["enabled"] and not b[STOP]["enabled"])(run.toolbar()), 20)

        ui.call("click", "--hwnd", run.window(), "--id", CLOSE_BUTTON)
        box = ui.msgbox(run.pid)
        check(box.get("caption") == CONFIRM and box.get("text") == CANCEL_QUESTION
              and box.get("buttons") == "Yes,No" and box.get("icon") == "question",
              "cancel question %r" % box)
        ui.answer(run.pid, "yes")
        box = wait_for("the delete question", lambda: delete_question(ui, run.pid), 30)
        if box:
            check(box.get("caption") == CONFIRM and box.get("buttons") == "Yes,No", "delete question %r" % box)
            ui.answer(run.pid, "no")
        check(run.wait_exit(timeout_ms=30000), "exit code after keeping the file")
        kept = os.path.join(dest, name + TEMP_SUFFIX)
        check(sorted(os.listdir(dest)) == [name + TEMP_SUFFIX], "after keeping: %r" % os.listdir(dest))
        if not os.path.exists(kept):
            return
        check(os.path.getsize(kept) > STATE_BLOCK, "the kept file holds no data (%d bytes)" % os.path.getsize(kept))
        first_requests = len(server.requests())
        check(first_requests == 4, "%d requests before the kept file was named" % first_requests)

        print("case: the kept file named on the command line", flush=True)
        # -ac 1 after the file name overrides the loaded CloseAtEnd (0): the
        # window closes itself at the end.
        resumed = Run(ui, probe, program, [windows_path(kept), "-ac", "1"])
        started = time.time()
        check(resumed.wait_exit(timeout_ms=120000), "exit code of the resumed run")
        print("  resumed run took %.1f s" % (time.time() - started), flush=True)
        target = os.path.join(dest, name)
        check(sorted(os.listdir(dest)) == [name], "after the resume: %r" % os.listdir(dest))
        if os.path.exists(target):
            check(filecmp.cmp(target, os.path.join(root, name), shallow=False), "the resumed file differs")
        later = server.requests()[first_requests:]
        starts = range_starts(later)
        print("  resumed requests' ranges: %r (before: %r)" % (starts, button_starts), flush=True)
        # Each session goes on from where the kept state left it, never earlier.
        check(len(starts) == len(later) == 2 and len(button_starts) == 2
              and button_starts[0] <= starts[0] < SLOW_SIZE // 2 and button_starts[1] <= starts[1] < SLOW_SIZE,
              "resumed requests' ranges %r" % starts)
    except UiAutoError as e:
        check(False, str(e))
    finally:
        run.kill()
        if resumed:
            resumed.kill()
        server.stop()


def range_starts(requests):
    """The sorted starts of the requests' "Range: bytes=N-" headers (others are left out)."""
    starts = []
    for r in requests:
        m = re.match(r"^bytes=(\d+)-$", range_of(r) or "")
        if m:
            starts.append(int(m.group(1)))
    return sorted(starts)


def test_finished_while_asking(ui, probe, exe, folder, server_script):
    """The download ends while the cancel question is open: Yes then only says
    it is too late, and the finished file stays."""
    what = "finished while the cancel question is open"
    print("case: " + what, flush=True)
    root = os.path.join(folder, "www-late")
    record = os.path.join(folder, "record-late")
    dest = os.path.join(folder, "dest-late")
    for path in (root, record, dest):
        os.mkdir(path)
    name = "late.bin"
    write_content(os.path.join(root, name), 300000, seed=8)
    program = program_folder(os.path.join(folder, "program-late"), exe)
    server = FaultServer(server_script, root, record)
    run = Run(ui, probe, program, ["-nd", "1", "-ac", "0", "-sp", "0", "-td", windows_path(dest),
                                   server.url("/x/drip=10000:500/" + name)])
    try:
        run.window()
        # About 15 s of dripping: time enough to ask before the end.
        wait_for("the temporary file", lambda: os.listdir(dest) == [name + TEMP_SUFFIX], 30)
        ui.call("click", "--hwnd", run.window(), "--id", CLOSE_BUTTON)
        box = ui.msgbox(run.pid)
        check(box.get("text") == CANCEL_QUESTION, "%s: first question %r" % (what, box))
        # The completion runs inside the question's message loop.
        ui.wait_window(pid=run.pid, title=FINISHED_TITLE, timeout_ms=60000)
        ui.answer(run.pid, "yes")
        box = wait_for("the too-late notice", lambda: too_late_notice(ui, run.pid), 30)
        if box:
            check(box.get("caption") == TOO_LATE_CAPTION and box.get("buttons") == "OK"
                  and box.get("icon") == "information", "%s: %r" % (what, box))
            ui.answer(run.pid, "ok")
        check(run.wait_exit(timeout_ms=30000), "%s: exit code" % what)
    except UiAutoError as e:
        check(False, "%s: %s" % (what, e))
    finally:
        run.kill()
        server.stop()
    check(os.listdir(dest) == [name], "%s: destination holds %r" % (what, os.listdir(dest)))
    if os.path.exists(os.path.join(dest, name)):
        check(filecmp.cmp(os.path.join(dest, name), os.path.join(root, name), shallow=False),
              "%s: content differs" % what)


def test_close_and_delete(ui, probe, exe, folder, server_script):
    """Closing before any data arrived asks nothing and leaves nothing; a kept
    file resumes with the running display; Yes to the delete question (direct
    delete configured) removes the temporary file and nothing else, also when
    the user cancels because the destination exists."""
    root = os.path.join(folder, "www-delete")
    record = os.path.join(folder, "record-delete")
    for path in (root, record):
        os.mkdir(path)
    name = "gone.bin"
    write_content(os.path.join(root, name), 1 << 20, seed=9)
    program = program_folder(os.path.join(folder, "program-delete"), exe)
    with open(os.path.join(os.path.dirname(program), "dorimel.ini"), "w", newline="\r\n") as f:
        f.write("[MainOptions]\nIsUseDirectDelete=1\n")
    server = FaultServer(server_script, root, record)
    try:
        what = "close before any data"
        print("case: " + what, flush=True)
        dest = os.path.join(folder, "dest-early")
        os.mkdir(dest)
        run = Run(ui, probe, program, ["-nd", "1", "-td", windows_path(dest),
                                       server.url("/x/delay=20000/" + name)])
        try:
            run.window()
            wait_for("the request", lambda: len(server.requests()) == 1, 30)
            ui.call("click", "--hwnd", run.window(), "--id", CLOSE_BUTTON)
            check(run.wait_exit(timeout_ms=30000), "%s: exit code" % what)
        except UiAutoError as e:
            check(False, "%s: %s" % (what, e))
        finally:
            run.kill()
        check(os.listdir(dest) == [], "%s: destination holds %r" % (what, os.listdir(dest)))

        # Kept once, then resumed and deleted: the resumed window shows a
        # running job, and Yes deletes the loaded temporary file.
        dest = os.path.join(folder, "dest-delete")
        os.mkdir(dest)
        with open(os.path.join(dest, "other.bin"), "wb") as f:
            f.write(b"not ours")
        url = server.url("/x/drip=4096:100/" + name)
        kept = os.path.join(dest, name + TEMP_SUFFIX)
        for what, arguments, delete in (
                ("No to the delete question", ["-nd", "1", "-sp", "0", "-td", windows_path(dest), url], False),
                ("the kept file resumed, then Yes to the delete question", [windows_path(kept)], True)):
            print("case: " + what, flush=True)
            run = Run(ui, probe, program, arguments)
            try:
                run.window()
                wait_for("data in the temporary file",
                         lambda: os.path.exists(kept) and os.path.getsize(kept) > STATE_BLOCK, 30)
                if delete:
                    c = wait_for("the running display", lambda: (lambda c: c if c[CLOSE_BUTTON]["text"] == "ｷｬﾝｾﾙ"
                                                                  else None)(run.controls()), 20)
                    check(c is not None and c[URL]["text"] == url, "%s: URL shown as %r" % (
                        what, c and c[URL]["text"]))
                    buttons = run.toolbar()
                    check(not buttons[RESUME]["enabled"] and buttons[STOP]["enabled"],
                          "%s: toolbar %r" % (what, buttons))
                ui.call("click", "--hwnd", run.window(), "--id", CLOSE_BUTTON)
                box = ui.msgbox(run.pid)
                check(box.get("text") == CANCEL_QUESTION, "%s: first question %r" % (what, box))
                ui.answer(run.pid, "yes")
                if wait_for("the delete question", lambda: delete_question(ui, run.pid), 30):
                    ui.answer(run.pid, "yes" if delete else "no")
                check(run.wait_exit(timeout_ms=30000), "%s: exit code" % what)
            except UiAutoError as e:
                check(False, "%s: %s" % (what, e))
            finally:
                run.kill()
            left = ["other.bin"] if delete else sorted(["other.bin", name + TEMP_SUFFIX])
            check(sorted(os.listdir(dest)) == left, "%s: destination holds %r" % (what, os.listdir(dest)))

        what = "an existing destination: Yes to cancel, Yes to delete"
        print("case: " + what, flush=True)
        dest = os.path.join(folder, "dest-exists")
        os.mkdir(dest)
        with open(os.path.join(dest, name), "wb") as f:
            f.write(b"the user's own file")
        run = Run(ui, probe, program, ["-nd", "1", "-sp", "0", "-td", windows_path(dest),
                                       server.url("/x/drip=4096:100/" + name)])
        try:
            box = ui.msgbox(run.pid, timeout_ms=60000)
            check(box.get("text") == windows_path(os.path.join(dest, name)) + TARGET_EXISTS
                  and box.get("caption") == CONFIRM and box.get("buttons") == "Yes,No",
                  "%s: question %r" % (what, box))
            ui.answer(run.pid, "yes")
            if wait_for("the delete question", lambda: delete_question(ui, run.pid), 30):
                ui.answer(run.pid, "yes")
            check(run.wait_exit(timeout_ms=30000), "%s: exit code" % what)
        except UiAutoError as e:
            check(False, "%s: %s" % (what, e))
        finally:
            run.kill()
        check(os.listdir(dest) == [name], "%s: destination holds %r" % (what, os.listdir(dest)))
        with open(os.path.join(dest, name), "rb") as f:
            check(f.read() == b"the user's own file", "%s: the existing file was changed" % what)

        test_recycle_bin_delete(ui, probe, program, folder, server, name)
    finally:
        server.stop()


def test_recycle_bin_delete(ui, probe, program, folder, server, name):
    """Without direct delete, Yes to the delete question moves the temporary
    file to the recycle bin, after the shell's own confirmation: Wine keeps
    it in the XDG trash, here a private one."""
    what = "Yes to the delete question, recycle bin"
    print("case: " + what, flush=True)
    with open(os.path.join(os.path.dirname(program), "dorimel.ini"), "w", newline="\r\n") as f:
        f.write("[MainOptions]\nIsUseDirectDelete=0\n")
    dest = os.path.join(folder, "dest-recycle")
    os.mkdir(dest)
    kept = os.path.join(dest, name + TEMP_SUFFIX)
    trash = os.path.join(folder, "xdg-data", "Trash")
    os.makedirs(os.path.dirname(trash))  # the trash itself is made by Wine, not its parents
    os.environ["XDG_DATA_HOME"] = os.path.dirname(trash)
    try:
        run = Run(ui, probe, program, ["-nd", "1", "-sp", "0", "-td", windows_path(dest),
                                       server.url("/x/drip=4096:100/" + name)])
    finally:
        del os.environ["XDG_DATA_HOME"]
    try:
        run.window()
        wait_for("data in the temporary file",
                 lambda: os.path.exists(kept) and os.path.getsize(kept) > STATE_BLOCK, 30)
        ui.call("click", "--hwnd", run.window(), "--id", CLOSE_BUTTON)
        ui.msgbox(run.pid)
        ui.answer(run.pid, "yes")
        if wait_for("the delete question", lambda: delete_question(ui, run.pid), 30):
            ui.answer(run.pid, "yes")
        confirmation = ui.wait_window(pid=run.pid, title=SHELL_DELETE_CONFIRMATION)
        ui.call("click", "--hwnd", confirmation["hwnd"], "--id", 6)  # IDYES
        check(run.wait_exit(timeout_ms=30000), "%s: exit code" % what)
    except UiAutoError as e:
        check(False, "%s: %s" % (what, e))
    finally:
        run.kill()
    check(os.listdir(dest) == [], "%s: destination holds %r" % (what, os.listdir(dest)))
    trashed = os.path.join(trash, "files", name + TEMP_SUFFIX)
    check(os.path.isfile(trashed) and os.path.getsize(trashed) > STATE_BLOCK, "%s: not in the recycle bin" % what)
    info = os.path.join(trash, "info", name + TEMP_SUFFIX + ".trashinfo")
    check(os.path.isfile(info) and "\nPath=%s\n" % kept in open(info).read(), "%s: recycle bin entry" % what)


def too_late_notice(ui, pid):
    try:
        box = ui.msgbox(pid, timeout_ms=2000)
    except UiAutoError:
        return None
    return box if box.get("text") == TOO_LATE else None


def seconds_or_0(text):
    return seconds(text) if TIME.match(text) else 0


def delete_question(ui, pid):
    """The message box asking whether to delete the file, once it is up."""
    try:
        box = ui.msgbox(pid, timeout_ms=2000)
    except UiAutoError:
        return None
    return box if box.get("text") == DELETE_QUESTION else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=["files", "progress"])
    parser.add_argument("--dorimel", required=True)
    parser.add_argument("--uiauto", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()
    missing = missing_setup([args.dorimel, args.uiauto, args.probe, args.server])
    if missing is not None:
        return missing
    ui = UiAuto(args.uiauto)
    folder = tempfile.mkdtemp(prefix="dorimel-download-")
    try:
        if args.group == "files":
            test_files(ui, args.probe, args.dorimel, folder, args.server)
        else:
            test_progress(ui, args.probe, args.dorimel, folder, args.server, args.artifacts)
            test_finished_while_asking(ui, args.probe, args.dorimel, folder, args.server)
            test_close_and_delete(ui, args.probe, args.dorimel, folder, args.server)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
