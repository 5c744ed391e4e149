#!/usr/bin/env python3
"""Wine tests of the new-download dialog and the hash dialog, driven through
tests/win/uiauto.exe the way a person would: the dialogs run in the test host
(the program's own dialog classes and templates) and in dorimel.exe.

usage: dialogs_test.py new_download|hash --host EXE --dorimel EXE --uiauto EXE
                       --artefacts DIR [--probe EXE] [--only TEST]
Exit status: 0 passed, 1 failed (also when the display or a program is missing),
77 skipped (only with DORIMEL_ALLOW_SKIP=1, see tests/win/uiauto.py)."""
import argparse
import configparser
import functools
import hashlib
import http.server
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win"))
from uiauto import UiAuto, UiAutoError, missing_setup, windows_path  # noqa: E402

TITLE = "新規ダウンロード"
DEFAULT_CAPTION = "エラー"  # the platform's caption of a message box given none
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL:", what, flush=True)
    return condition


def check_equal(actual, expected, what):
    return check(actual == expected, "%s: expected %r, got %r" % (what, expected, actual))


def read_result(path):
    """The host's result file: a list of dicts, one per dialog run."""
    runs, current = [], {}
    with open(path, encoding="cp932") as f:
        for line in f.read().splitlines():
            key, _, value = line.partition("=")
            if key == "run":
                current = {}
                runs.append(current)
            current[key] = value
    return runs


def read_ini(path):
    ini = configparser.ConfigParser(interpolation=None, strict=False)
    ini.optionxform = str
    if os.path.exists(path):
        with open(path, encoding="cp932") as f:
            ini.read_string(f.read())
    return ini


def history(ini_path):
    """The folder history keys: Dir0 .. Dir(DirCount - 1)."""
    dirs = read_ini(ini_path)["TargetDirs"]
    return [dirs.get("Dir%d" % i) for i in range(int(dirs.get("DirCount", "0")))]


def unix_path(windows):
    assert windows.startswith("Z:")
    return windows[2:].replace("\\", "/")


class Context:
    def __init__(self, args):
        self.ui = UiAuto(args.uiauto)
        self.host = args.host
        self.dorimel = args.dorimel
        self.probe = args.probe
        self.artefacts = args.artefacts
        self.work = tempfile.mkdtemp(prefix="dorimel_dialogs_", dir="/tmp")
        self.started = {}  # pid: the UiAuto.run holding it (killed at the end unless it exited)

    def run(self, program, *args):
        """Starts program under `uiauto run` (its exit code kept); its pid."""
        run = self.ui.run(program, *args)
        self.started[run.pid] = run
        return run.pid

    def wait_exit(self, pid, timeout_ms=60000):
        code = self.started[pid].wait_exit(timeout_ms=timeout_ms)  # still killed at the end if it does not end
        del self.started[pid]
        return code

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def wpath(self, *parts):
        return windows_path(self.path(*parts))

    def cleanup(self):
        for pid, run in self.started.items():
            self.ui.kill(pid)
            run.close()
        if not os.environ.get("KEEP_WORK"):
            shutil.rmtree(self.work, ignore_errors=True)


class Dialog:
    """One dialog window of a started process."""

    def __init__(self, ctx, pid, title, replacing=None):
        self.ctx, self.ui, self.pid, self.title = ctx, ctx.ui, pid, title
        self.result, self.boxes_answered = "", 0
        self.hwnd = self.ui.wait_window(pid, title=title, timeout_ms=60000)["hwnd"]
        # A dialog opened again right after the previous one closed: wait
        # until the new window is the one shown.
        deadline = time.time() + 60
        while self.hwnd == replacing and time.time() < deadline:
            time.sleep(0.2)
            shown = [w for w in self.ui.windows(pid) if w["title"] == title]
            self.hwnd = shown[0]["hwnd"] if len(shown) == 1 else replacing

    def controls(self):
        """Control ID -> control; for the folder box (1038) its edit field."""
        result = {}
        for c in self.ui.dump(self.hwnd):
            if c["id"] == 1038 and c["cls"] != "Edit":
                continue
            result.setdefault(c["id"], c)
        return result

    def text(self, item):
        return self.ui.call("text", "--hwnd", self.hwnd, "--id", item).rstrip("\n")

    def set(self, item, text):
        self.ui.call("settext", "--hwnd", self.hwnd, "--id", item, text)

    def click(self, item):
        self.ui.call("click", "--hwnd", self.hwnd, "--id", item)

    def msgbox(self, timeout_ms=30000):
        return self.ui.msgbox(self.pid, timeout_ms=timeout_ms)

    def answer(self, what):
        self.ui.answer(self.pid, what)
        self.boxes_answered += 1
        self.ui.call("msgbox-gone", "--pid", self.pid)

    def focus_after_box(self, seconds=15):
        """(control ID, class) of the control the dialog gave the focus to
        once its latest message box had closed, from the test host's focus
        log. Under Xvfb without a window manager Wine may afterwards move the
        focus on to the dialog window itself, so the present focus does not
        tell where the dialog put it."""
        log = self.result + ".focus"
        deadline = time.time() + seconds
        while True:
            lines = open(log).read().splitlines() if os.path.exists(log) else []
            closes = [i for i, l in enumerate(lines) if l == "box-closed"]
            if len(closes) >= self.boxes_answered:
                after = [l.split() for l in lines[closes[self.boxes_answered - 1] + 1:]
                         if l.startswith("focus ")]
                if after:
                    return int(after[0][1]), after[0][2]
            if time.time() > deadline:
                return None
            time.sleep(0.2)

    def still_open(self):
        return any(w["hwnd"] == self.hwnd for w in self.ui.windows(self.pid))

    def screenshot(self, name):
        os.makedirs(self.ctx.artefacts, exist_ok=True)
        bmp = os.path.join(self.ctx.artefacts, name + ".bmp")
        self.ui.call("screenshot", "--hwnd", self.hwnd, windows_path(bmp))
        if shutil.which("convert"):
            subprocess.run(["convert", bmp, os.path.join(self.ctx.artefacts, name + ".png")],
                           check=False)
        print("screenshot:", bmp)


def start_host(ctx, name, ini, *options):
    result = ctx.path(name + ".txt")
    pid = ctx.run(ctx.host, "new", windows_path(result), windows_path(ini), *options)
    dialog = Dialog(ctx, pid, TITLE)
    dialog.result = result
    return pid, result, dialog


def finish(ctx, pid, result):
    check_equal(ctx.wait_exit(pid), 0, "host exit code")
    return read_result(result)


def expect_box(dialog, text, caption, icon, buttons, answer, focus=None, what=""):
    box = dialog.msgbox()
    # The icon is recognised from the screen: a box not yet painted reads as
    # unknown, so it is looked at again.
    for _ in range(5):
        if box.get("icon") != "unknown":
            break
        time.sleep(0.5)
        box = dialog.msgbox()
    check_equal(box.get("text"), text, what + " message text")
    check_equal(box.get("caption"), caption, what + " caption")
    check_equal(box.get("icon"), icon, what + " icon")
    check_equal(box.get("buttons"), buttons, what + " buttons")
    dialog.answer(answer)
    if focus is not None:
        got = dialog.focus_after_box()
        check(got is not None and got[0] == focus and (focus != 1038 or got[1] == "Edit"),
              "%s: focus on %d, got %r" % (what, focus, got))


# ---------------------------------------------------------------- new download

def test_clipboard_and_defaults(ctx):
    """The URL from a clipboard sentence, the start-up defaults, the speed box,
    folder creation with parents, the history keys, and the window's move."""
    ui = ctx.ui
    ui.call("clipboard-set", "詳しくは http://127.0.0.1:8080/files/a.zip をご覧ください。")
    ini = ctx.path("create.ini")
    pid, result, d = start_host(ctx, "create", ini, "proxy=127.0.0.1:3128", "flags=0x11",
                                "speed=0", "closeAtEnd=1")
    c = d.controls()
    check_equal(c[1000]["text"], "http://127.0.0.1:8080/files/a.zip", "URL from the clipboard")
    desktop = c[1038]["text"]
    check(re.match(r"^[A-Z]:\\.*\\Desktop\\$", desktop) is not None,
          "FirstInit without DstDir gives the desktop folder, got %r" % desktop)
    check_equal(c[1003]["text"], "127.0.0.1:3128", "proxy from the settings")
    checks = {i: c[i]["check"] for i in (1030, 1031, 1033, 1035, 1036, 1037, 1048)}
    check_equal(checks, {1030: "1", 1031: "0", 1033: "0", 1035: "0", 1036: "1", 1037: "0",
                         1048: "1"}, "check boxes from the flags 0x11 and CloseAtEnd")
    check(c[1031]["enabled"], "split enabled on the first start")
    check(not c[1034]["enabled"] and c[1034]["text"] == "0", "speed box disabled, showing 0")
    d.click(1033)
    check(d.controls()[1034]["enabled"], "ticking 1033 enables the speed box")
    d.click(1033)
    check(not d.controls()[1034]["enabled"], "unticking 1033 disables the speed box")
    d.screenshot("new_download_dialog")

    # A new folder two levels deep, typed with a trailing backslash; "ソ" has
    # a "\" as its second byte in code page 932.
    target = ctx.wpath("新規", "ソフト", "dl") + "\\"
    d.set(1038, target)
    d.click(1)
    expect_box(d, "保存先フォルダ " + target[:-1] + " は存在しません。\n\n新しく作成しますか？",
               "確認", "question", "OK,Cancel", "ok", what="creation question")
    run = finish(ctx, pid, result)[-1]
    check_equal(run["result"], "1", "OK ends the dialog with 1")
    check_equal(run["strTargetDir"], target, "destination ends with exactly one backslash")
    check(os.path.isdir(unix_path(target[:-1])), "the folder and its parents were created")
    check_equal(run["strURL"], "http://127.0.0.1:8080/files/a.zip", "strURL")
    check_equal(run["strProxy"], "127.0.0.1:3128", "strProxy")
    check_equal((run["flags"], run["closeAtEnd"], run["FirstInit"]), ("17", "1", "0"),
                "flags, CloseAtEnd and FirstInit after OK")
    check_equal((run["ownerLeft"], run["ownerTop"]), (run["dialogLeft"], run["dialogTop"]),
                "the owner window moved to the dialog's top-left corner")
    check_equal(history(ini), [target, desktop],
                "history: the new folder, then the one the dialog started with")

    ui.call("clipboard-set", "127.0.0.1/dir/file.bin")
    with open(ctx.path("bare.ini"), "w") as f:  # a hand-edited count opens promptly
        f.write("[TargetDirs]\nDirCount=2000000000\n")
    pid, result, d = start_host(ctx, "bare", ctx.path("bare.ini"))
    check_equal(d.controls()[1000]["text"], "http://127.0.0.1/dir/file.bin",
                "clipboard text without a scheme gets http://")
    d.click(2)
    check_equal(finish(ctx, pid, result)[-1]["result"], "2", "Cancel ends the dialog with 2")
    with open(ctx.path("bare.ini")) as f:
        check_equal(f.read(), "[TargetDirs]\nDirCount=2000000000\n", "Cancel writes nothing")


def test_failures(ctx):
    """Every failure of OK: its message, and the focus on the offending box."""
    folder = ctx.path("exists")
    os.makedirs(folder)
    afile = ctx.path("afile.txt")
    open(afile, "w").close()
    pid, result, d = start_host(ctx, "fail", ctx.path("fail.ini"), "url=http://127.0.0.1/a.zip",
                                "dst=" + windows_path(folder) + "\\")
    d.set(1000, "")
    d.click(1)
    expect_box(d, "URL を入力してください。", DEFAULT_CAPTION, "warning", "OK", "ok", 1000,
               "empty URL (59)")
    d.set(1000, "https://127.0.0.1/a.zip")
    d.click(1)
    expect_box(d, "URLが不正です。URLは HTTPおよびFTP のみ有効です。", DEFAULT_CAPTION, "warning",
               "OK", "ok", 1000, "https refused (57)")
    check_equal(d.text(1000), "https://127.0.0.1/a.zip", "the refused URL stays in its box")
    d.set(1000, "http://127.0.0.1/a b.zip")
    d.click(1)
    expect_box(d, "URLをエンコードしますか？", "確認", "question", "Yes,No,Cancel", "cancel", 1000,
               "encode question cancelled (58)")

    d.set(1000, "http://127.0.0.1/a.zip")
    d.set(1038, "")
    d.click(1)
    expect_box(d, "保存先を入力してください", DEFAULT_CAPTION, "warning", "OK", "ok", 1038,
               "empty destination (60)")
    d.set(1038, "C:dl")
    d.click(1)
    expect_box(d, "フォルダ名に以下の文字列は使えません。\n\n     , ; * ? \" < > | \\", "フォルダ名が不正です",
               "warning", "OK", "ok", 1038, "invalid folder name (32/33)")
    d.set(1038, windows_path(afile) + "\\")
    d.click(1)
    expect_box(d, windows_path(afile) + " はフォルダではありません。", DEFAULT_CAPTION, "warning",
               "OK", "ok", 1038, "a file in place of the folder (61)")
    declined = ctx.wpath("declined")
    d.set(1038, declined)
    d.click(1)
    expect_box(d, "保存先フォルダ " + declined + " は存在しません。\n\n新しく作成しますか？", "確認",
               "question", "OK,Cancel", "cancel", 1038, "creation declined (62/63)")
    check(not os.path.exists(ctx.path("declined")), "a declined folder is not created")
    impossible = windows_path(afile) + "\\sub"
    d.set(1038, impossible)
    d.click(1)
    expect_box(d, "保存先フォルダ " + impossible + " は存在しません。\n\n新しく作成しますか？", "確認",
               "question", "OK,Cancel", "ok", None, "creation under a file")
    expect_box(d, "フォルダを作成できませんでした。", DEFAULT_CAPTION, "warning", "OK", "ok", 1038,
               "creation failed (64)")

    d.set(1038, windows_path(folder))
    d.click(1033)
    for speed in ("0", "12a", "", "1" * 32):
        d.set(1034, speed)
        d.click(1)
        expect_box(d, "速度制限値を設定してください。", DEFAULT_CAPTION, "warning", "OK", "ok", 1034,
                   "speed limit %r (65)" % speed)
    check(d.still_open(), "every failure keeps the dialog open")

    # A URL longer than 255 bytes is taken whole.
    long_url = "http://127.0.0.1/" + "d" * 300 + "/file.zip"
    d.set(1000, long_url)
    d.set(1034, "150")
    d.click(1)
    run = finish(ctx, pid, result)[-1]
    check_equal(run["result"], "1", "OK after the failures")
    check_equal(run["strURL"], long_url, "long URL kept whole")
    check_equal(run["speed"], "150", "speed limit")
    check_equal(run["flags"], "4", "flags: only the speed limit")
    check_equal(run["strTargetDir"], windows_path(folder) + "\\", "destination gets one backslash")


def test_history_and_resetup(ctx):
    """The history keys, and the second start (re-setup) that locks splitting
    and keeps the proxy."""
    a, b = ctx.path("A"), ctx.path("B")
    os.makedirs(a)
    os.makedirs(b)
    wa, wb = windows_path(a) + "\\", windows_path(b) + "\\"
    ini = ctx.path("history.ini")
    with open(ini, "w", encoding="cp932") as f:
        f.write("[TargetDirs]\nDirCount=3\nDir0=%s\nDir1=%s\nDir2=%s\n" % (wa, wb, wa.lower()))
    pid, result, d = start_host(ctx, "history", ini, "dst=" + wa, "proxy=127.0.0.1:3128",
                                "url=http://127.0.0.1/h.zip", "flags=2", "runs=3")
    d.set(1003, "127.0.0.1:8080")
    d.click(1)
    d = Dialog(ctx, pid, TITLE, replacing=d.hwnd)  # the second start, as "再設定(&R)" opens it
    c = d.controls()
    check(not c[1031]["enabled"], "re-setup disables the split check box")
    check_equal(c[1031]["check"], "1", "the split check box keeps its state")
    check_equal(c[1003]["text"], "127.0.0.1:8080", "re-setup keeps the proxy of the first OK")
    check_equal(c[1038]["text"], wa, "re-setup shows the chosen folder")
    dirs = read_ini(ini)["TargetDirs"]
    check_equal(history(ini), [wa, wb], "keeping the first folder writes it once, at the front")
    d.set(1038, wb)
    d.click(1)
    # A third start: a failed OK collects the controls, then Cancel stores nothing.
    d = Dialog(ctx, pid, TITLE, replacing=d.hwnd)
    d.result = result
    d.set(1000, "http://127.0.0.1/other.zip")
    d.click(1035)
    d.set(1038, "")
    d.click(1)
    expect_box(d, "保存先を入力してください", DEFAULT_CAPTION, "warning", "OK", "ok", 1038,
               "empty destination on re-setup (60)")
    d.click(2)
    runs = finish(ctx, pid, result)
    check_equal([r["result"] for r in runs], ["1", "1", "2"], "OK, OK, then Cancel")
    check_equal(runs[1]["flags"], "2", "split flag kept through re-setup")
    for key in ("strURL", "strReferer", "strProxy", "strTargetDir", "flags", "speed", "closeAtEnd"):
        check_equal(runs[2][key], runs[1][key], "Cancel after a failed OK keeps " + key)
    check_equal(history(ini), [wb, wa, wb],
                "a folder from further down is written at the front and at its old place")

    pid, result, d = start_host(ctx, "history2", ini, "dst=" + wa, "url=http://127.0.0.1/h.zip")
    d.click(1)
    finish(ctx, pid, result)
    check_equal(history(ini), [wa, wb, wa], "the next start lists each folder once")


def test_save_as_default(ctx):
    """Save as default: no checks, never closes, writes the four keys; 100 and
    101 when the options file cannot be written."""
    ini = ctx.path("defaults.ini")
    pid, result, d = start_host(ctx, "defaults", ini, "url=http://127.0.0.1/x.zip", "speed=7")
    missing = ctx.wpath("not", "there") + "\\\\"
    d.set(1000, "")
    d.set(1003, "127.0.0.1:3128")
    d.set(1038, missing)
    d.click(1033)
    d.set(1034, "abc")
    d.click(1032)
    try:
        box = d.msgbox(timeout_ms=3000)
        check(False, "save as default showed a message: %r" % box)
    except UiAutoError:
        pass
    check(d.still_open(), "save as default never closes the dialog")
    ini_values = read_ini(ini)
    check_equal(ini_values.get("DefaultValues", "Proxy", fallback=None), "127.0.0.1:3128",
                "DefaultValues/Proxy")
    check_equal(ini_values.get("DefaultValues", "DestDir", fallback=None), missing[:-1],
                "DefaultValues/DestDir with one backslash")
    check_equal(ini_values.get("MainOptions", "Flags", fallback=None), "4", "MainOptions/Flags")
    check_equal(ini_values.get("MainOptions", "SuppressSize", fallback=None), "7",
                "MainOptions/SuppressSize keeps the old value when the box does not count")
    check(not os.path.exists(ctx.path("not")), "save as default creates no folder")

    # Desktop button: the replaced folder stays in the history.
    d.click(1039)
    desktop = d.controls()[1038]["text"]
    check(desktop.endswith("\\Desktop\\"), "desktop button sets the desktop folder: %r" % desktop)
    # Browse: the platform's folder browser with the title string 56; cancelled.
    d.click(1009)
    deadline, browser = time.time() + 60, None
    while browser is None and time.time() < deadline:
        for w in ctx.ui.windows(pid):
            if w["hwnd"] != d.hwnd and w["cls"] == "#32770":
                browser = w
        if browser is None:
            time.sleep(0.5)
    if check(browser is not None, "browse shows the folder browser"):
        texts = [c["text"] for c in ctx.ui.dump(browser["hwnd"])]
        check("フォルダを選択" in texts, "folder browser title 56, got %r" % texts)
        ctx.ui.call("click", "--hwnd", browser["hwnd"], "--id", 2)
        ctx.ui.call("wait-gone", "--hwnd", browser["hwnd"])
    check_equal(d.controls()[1038]["text"], desktop, "a cancelled browse changes nothing")
    d.click(2)
    check_equal(finish(ctx, pid, result)[-1]["result"], "2", "Cancel after save as default")
    check("TargetDirs" not in read_ini(ini), "Cancel writes no history")

    # An options file that cannot be written: 100, then 101 at OK.
    folder = ctx.path("ok")
    os.makedirs(folder)
    broken = ctx.path("missing", "dorimel.ini")
    pid, result, d = start_host(ctx, "broken", broken, "url=http://127.0.0.1/x.zip",
                                "dst=" + windows_path(folder))
    d.click(1032)
    expect_box(d, "設定の保存に失敗しました。", DEFAULT_CAPTION, "warning", "OK", "ok",
               what="failed default save (100)")
    check(d.still_open(), "a failed default save keeps the dialog open")
    d.click(1)
    expect_box(d, "設定の保存に失敗しました。続行しますか？", "Dorimel", "warning", "Yes,No", "no",
               what="failed history write, No (101)")
    check(d.still_open(), "No keeps the dialog open")
    d.click(1)
    expect_box(d, "設定の保存に失敗しました。続行しますか？", "Dorimel", "warning", "Yes,No", "yes",
               what="failed history write, Yes (101)")
    check_equal(finish(ctx, pid, result)[-1]["result"], "1", "Yes ends the dialog with OK")


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve_file(ctx, folder, name, content):
    """An HTTP server on 127.0.0.1 serving content as name; (server, url)."""
    root = ctx.path(folder)
    os.makedirs(root)
    with open(os.path.join(root, name), "wb") as f:
        f.write(content)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=root))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d/%s" % (server.server_address[1], name)


def test_program_starts_download(ctx):
    """dorimel.exe started without a URL shows the dialog; OK starts the download."""
    content = os.urandom(200 * 1024)
    server, url = serve_file(ctx, "www", "data.bin", content)
    try:
        folder = ctx.path("prog")
        os.makedirs(folder)
        program = os.path.join(folder, "dorimel.exe")  # a private options file beside it
        shutil.copy(ctx.dorimel, program)
        ctx.ui.call("clipboard-set", "取得先: " + url + " です")
        pid = ctx.run(program)
        d = Dialog(ctx, pid, TITLE)
        c = d.controls()
        check_equal(c[1000]["text"], url, "dorimel.exe: URL from the clipboard")
        check(c[1038]["text"].endswith("\\Desktop\\"), "dorimel.exe: desktop folder by default")
        d.screenshot("new_download_dialog_in_dorimel")
        target = ctx.wpath("downloads")
        d.set(1038, target)
        d.click(1)
        expect_box(d, "保存先フォルダ " + target + " は存在しません。\n\n新しく作成しますか？", "確認",
                   "question", "OK,Cancel", "ok", what="dorimel.exe: creation question")
        saved = ctx.path("downloads", "data.bin")
        deadline = time.time() + 90
        while time.time() < deadline and not (os.path.exists(saved) and
                                               os.path.getsize(saved) == len(content)):
            time.sleep(0.5)
        check(os.path.exists(saved) and open(saved, "rb").read() == content,
              "OK started the download and the file arrived whole")
        windows = [w for w in ctx.ui.windows(pid) if w["title"] != TITLE]
        if check(len(windows) == 1, "one download window, got %r" % windows):
            controls = {c["id"]: c for c in ctx.ui.dump(windows[0]["hwnd"])}
            check_equal(controls[1033]["text"], url, "the window shows the dialog's URL")
            check_equal(controls[1034]["text"], target + "\\data.bin", "the window shows the target")
            ctx.ui.close(windows[0]["hwnd"])
        check_equal(ctx.wait_exit(pid), 0, "dorimel.exe exit code")
        check_equal(history(os.path.join(folder, "dorimel.ini")), [target + "\\", c[1038]["text"]],
                    "dorimel.exe: history keys")
    finally:
        server.shutdown()


# ------------------------------------------------------------------------ hash

def start_hash(ctx, name, kind, path, moved, md5="", sha1="", wait=True):
    result = ctx.path(name + ".txt")
    pid = ctx.run(ctx.host, "hash", windows_path(result), str(kind), windows_path(path),
                  "1" if moved else "0", md5 or "-", sha1 or "-")
    return pid, result, Dialog(ctx, pid, "SHA1" if kind == 1 else "MD5") if wait else None


def wait_text(dialog, item, predicate, seconds=60):
    deadline = time.time() + seconds
    while True:
        text = dialog.text(item)
        if predicate(text) or time.time() > deadline:
            return text
        time.sleep(0.2)


def read_entered(ctx, pid, result):
    check_equal(ctx.wait_exit(pid), 0, "host exit code")
    values = {}
    with open(result, encoding="cp932") as f:
        for line in f.read().splitlines():
            key, _, value = line.partition("=")
            values[key] = value
    return values


def test_hash(ctx):
    abc_sha1 = "a9993e364706816aba3e25717850c26c9cd0d89d"
    abc = ctx.path("abc.txt")
    with open(abc, "wb") as f:
        f.write(b"abc")
    typed = "  " + abc_sha1.upper() + " "
    pid, result, d = start_hash(ctx, "sha1", 1, abc, True, "m", typed)
    check_equal(wait_text(d, 1042, bool), abc_sha1, "SHA-1 digest shown")
    c = d.controls()
    check_equal(c[1043]["text"], "SHA1", "algorithm label")
    check_equal(c[1002]["text"], windows_path(abc), "file path box")
    check_equal(c[2]["text"], "閉じる", "button becomes 閉じる")
    check_equal(c[1047]["text"], "一致しました", "upper case with blanks matches")
    d.screenshot("hash_dialog")
    d.set(1045, abc_sha1[:-1] + "0")
    check_equal(d.text(1047), "", "a different value clears the result")
    d.set(1045, typed)
    check_equal(d.text(1047), "一致しました", "typing the value again matches")
    d.click(2)
    values = read_entered(ctx, pid, result)
    check_equal((values.get("enteredSha1"), values.get("enteredMd5")), (typed, "m"),
                "the typed SHA-1 is stored, MD5 untouched")

    pid, result, d = start_hash(ctx, "record", 2, abc, False, "old", "s")
    c = d.controls()
    check_equal((c[1045]["text"], c[2]["text"], c[1042]["text"], c[1047]["text"]),
                ("old", "閉じる", "", "R"), "before the move: no worker, button 閉じる")
    d.set(1045, "900150983cd24fb0d6963f7d28e17f72")
    d.click(2)
    values = read_entered(ctx, pid, result)
    check_equal((values.get("enteredMd5"), values.get("enteredSha1")),
                ("900150983cd24fb0d6963f7d28e17f72", "s"), "value recorded in advance")

    empty = ctx.path("empty.bin")
    open(empty, "wb").close()
    pid, result, d = start_hash(ctx, "empty", 2, empty, True)
    check_equal(wait_text(d, 1042, bool), "d41d8cd98f00b204e9800998ecf8427e", "empty file digest")
    check_equal(d.text(1044), "", "no progress text for an empty file")
    d.click(2)
    read_entered(ctx, pid, result)

    # The error may come before the dialog is first shown: only its box is awaited.
    pid, result, _ = start_hash(ctx, "deleted", 2, ctx.path("deleted.bin"), True, "keep", "keep",
                                wait=False)
    box = ctx.ui.msgbox(pid)
    check_equal((box.get("text"), box.get("caption"), box.get("icon"), box.get("buttons")),
                ("cannot open file", "error", "error", "OK"), "deleted file: error box")
    ctx.ui.answer(pid, "ok")
    values = read_entered(ctx, pid, result)
    check_equal((values.get("enteredMd5"), values.get("enteredSha1")), ("keep", "keep"),
                "the error path stores nothing")

    # Cancel while a large file is read: the worker stops after its block.
    big = os.path.join("/dev/shm" if os.path.isdir("/dev/shm") else ctx.work,
                       "dorimel_hash_cancel_%d.bin" % os.getpid())
    try:
        with open(big, "wb") as f:
            f.truncate(1024 * 1024 * 1024)
        pid, result, d = start_hash(ctx, "cancel", 1, big, True, "", "")
        progress = wait_text(d, 1044, lambda t: re.match(r"^\d+%$", t) is not None, 60)
        check(re.match(r"^\d+%$", progress) is not None, "progress shown as N%%, got %r" % progress)
        d.set(1045, "typed while hashing")
        check_equal(d.text(1042), "", "no digest yet when cancelling")
        started = time.time()
        d.click(2)
        values = read_entered(ctx, pid, result)
        check(time.time() - started < 30, "cancel ends the dialog without reading on")
        check_equal(values.get("enteredSha1"), "typed while hashing", "cancel stores the typed value")
    finally:
        os.remove(big)


def probe_call(ctx, *args):
    """tests/wine_window/window_probe.exe (menus are read and driven through it)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win", "wine_run.sh"),
                               ctx.probe] + [str(a) for a in args],
                              stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=120)
        if done.returncode != 0:
            err.seek(0)
            raise UiAutoError("window_probe %s: %s" % (" ".join(map(str, args)), err.read().decode("utf-8", "replace")))


def choose_hash_menu(ctx, pid, hwnd, row):
    """Opens the window's hash menu (button 1041) and chooses its row-th item."""
    ctx.ui.call("command", "--hwnd", hwnd, "--id", 1041)
    probe_call(ctx, "popup-key", "--pid", pid, "--row", row, "--vk", 13)


def test_sha256_in_dorimel(ctx):
    """SHA-256 through dorimel.exe's own menus: a value typed in advance with
    "SHA256を入力しておく" while the download is held back by the speed limit
    is checked by "SHA256を計算する" after the end; a different value clears
    the result, the right one shows it again."""
    if not check(bool(ctx.probe), "window_probe.exe is given (--probe)"):
        return
    content = os.urandom(100 * 1024)
    expected = hashlib.sha256(content).hexdigest()
    server, url = serve_file(ctx, "www256", "data.bin", content)
    try:
        folder = ctx.path("prog256")
        os.makedirs(folder)
        program = os.path.join(folder, "dorimel.exe")
        shutil.copy(ctx.dorimel, program)
        dest = ctx.path("dest256")
        os.makedirs(dest)
        # 1 K/s: the download cannot end before the value is typed.
        pid = ctx.run(program, "-nd", "1", "-ac", "0", "-sl", "1", "-ss", "1", "-td", windows_path(dest), url)
        hwnd = ctx.ui.wait_window(pid=pid, cls="#32770", timeout_ms=60000)["hwnd"]
        typed = " " + expected.upper() + "  "
        choose_hash_menu(ctx, pid, hwnd, 3)
        d = Dialog(ctx, pid, "SHA256")
        c = d.controls()
        check_equal((c[1043]["text"], c[2]["text"], c[1045]["text"]), ("SHA256", "閉じる", ""),
                    "SHA256 entered in advance: name, button, empty box")
        d.set(1045, typed)
        d.click(2)
        ctx.ui.call("wait-gone", "--hwnd", d.hwnd)
        ctx.ui.call("command", "--hwnd", hwnd, "--id", 50011)  # the speed limit off: the rest flows
        ctx.ui.wait_window(pid=pid, title="ダウンロードの完了", timeout_ms=120000)
        check(open(os.path.join(dest, "data.bin"), "rb").read() == content, "SHA256: the file arrived whole")
        choose_hash_menu(ctx, pid, hwnd, 3)
        d = Dialog(ctx, pid, "SHA256")
        check_equal(wait_text(d, 1042, bool), expected, "SHA256 digest of the finished file")
        c = d.controls()
        check_equal((c[1045]["text"], c[1047]["text"], c[2]["text"]), (typed, "一致しました", "閉じる"),
                    "the value typed in advance matches")
        d.set(1045, expected[:-1] + ("0" if expected[-1] != "0" else "1"))
        check_equal(d.text(1047), "", "a different value shows no match")
        d.set(1045, expected)
        check_equal(d.text(1047), "一致しました", "the right value matches again")
        d.screenshot("sha256_dialog")
        d.click(2)
        ctx.ui.call("wait-gone", "--hwnd", d.hwnd)
        ctx.ui.close(hwnd)
        check_equal(ctx.wait_exit(pid), 0, "dorimel.exe exit code")
    finally:
        server.shutdown()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=["new_download", "hash"])
    for option in ("host", "dorimel", "uiauto", "artefacts"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--only", help="run only the test of this name")
    parser.add_argument("--probe", help="tests/wine_window/window_probe.exe (menus of dorimel.exe)")
    args = parser.parse_args()
    missing = missing_setup([args.host, args.dorimel, args.uiauto] + ([args.probe] if args.probe else []))
    if missing is not None:
        return missing
    ctx = Context(args)
    tests = {"new_download": [test_clipboard_and_defaults, test_failures, test_history_and_resetup,
                              test_save_as_default, test_program_starts_download],
             "hash": [test_hash, test_sha256_in_dorimel]}[args.group]
    tests = [t for t in tests if not args.only or t.__name__ == args.only]
    try:
        for test in tests:
            print("==", test.__name__, flush=True)
            try:
                test(ctx)
            except (UiAutoError, subprocess.TimeoutExpired, KeyError, OSError) as error:
                check(False, "%s: %s" % (test.__name__, error))
                for pid in list(ctx.started):
                    ctx.ui.kill(pid)
                    ctx.started.pop(pid).close()
    finally:
        ctx.cleanup()
    print("%d failure(s)" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
