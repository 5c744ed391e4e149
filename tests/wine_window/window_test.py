#!/usr/bin/env python3
"""The download window of the real dorimel.exe under Wine, seen and driven
through the UI automation tools (tests/win/uiauto.exe, window_probe.exe):

  window    the controls, toolbar, tabs and first log row as the window opens;
            the About box; the option menu's states; the settings button's
            guard; copy, copy all and delete all through the clipboard;
            closing writes MainOptions/CloseWithComplete and ScrollLock
  session   a real session against a local server: rows of every kind and
            their colours, scroll lock, a long row copied cut, the speed-limit
            title and menu, stop; screenshots kept as PNG artefacts
  settings  a read-only options file: the retry question on closing, Yes
            retries, and the keys are written once the file is writable

usage: window_test.py GROUP --dorimel EXE --uiauto EXE --probe EXE --server PY --artifacts DIR
"""
import argparse
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "win"))
from uiauto import UiAuto, UiAutoError, bmp_to_png, missing_setup, unescape, windows_path  # noqa: E402

WINE_RUN = os.path.join(HERE, "..", "win", "wine_run.sh")
BANNER = "---Dorimel ver0.11---"
SPEED_LIMITED = "（速度制限中）"
SAVE_RETRY = "設定の保存に失敗しました。リトライしますか？"

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return condition


class Probe:
    def __init__(self, exe):
        self.exe = exe

    def call(self, *args, timeout_ms=20000):
        command = [WINE_RUN, self.exe] + [str(a) for a in args] + ["--timeout", str(timeout_ms)]
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout_ms / 1000 + 60)
        if done.returncode != 0:
            raise UiAutoError("window_probe %s: %s" % (" ".join(map(str, args)),
                                                       done.stderr.decode("utf-8", "replace").strip()))
        return done.stdout.decode("utf-8", "replace")

    def child(self, hwnd, control_id):
        return self.call("child", "--hwnd", hwnd, "--id", control_id).split("\t")[1].strip()

    def style(self, hwnd):
        return int(self.call("style", "--hwnd", hwnd).split("\t")[1], 16)

    def rows(self, list_hwnd):
        """count, top index, rows per page and the kind of every row."""
        info, kinds = {}, []
        for line in self.call("rows", "--hwnd", list_hwnd).splitlines():
            f = line.split("\t")
            if f[0] == "row":
                kinds.append(int(f[2].split("=")[1]))
                check(f[2].split("=")[1] == f[3].split("=")[1], "row %s: image differs from kind" % f[1])
            else:
                info[f[0]] = int(f[1])
        info["kinds"] = kinds
        return info

    def menu_state(self, pid):
        """The open popup menu read from the screen: list of (checked, grey) or 'separator'."""
        items = []
        for line in self.call("popup-state", "--pid", pid).splitlines():
            f = line.split("\t")
            if f[0] == "separator":
                items.append("separator")
            elif f[0] == "item":
                items.append((f[1] == "checked=1", f[2] == "grey=1"))
        return items

    def menu_key(self, pid, key=None, vk=None):
        if vk is not None:
            self.call("popup-key", "--pid", pid, "--vk", vk)
        else:
            self.call("popup-key", "--pid", pid, "--key", key)


class Window:
    """One running dorimel.exe and its download window."""

    def __init__(self, ui, probe, exe, arguments, title=None):
        self.ui, self.probe = ui, probe
        # Held by the tool until it ends, so that its exit code is never lost.
        self.run = ui.run(exe, *arguments)
        self.pid = self.run.pid
        self.exited = False
        try:
            w = ui.wait_window(pid=self.pid, title=title, cls="#32770", timeout_ms=60000)
            self.hwnd = w["hwnd"]
            self.host = probe.child(self.hwnd, 1027)
            self.toolbar = probe.child(self.host, 111)
            tabs = probe.child(self.hwnd, 1004)
            self.logs = [probe.child(tabs, 100), probe.child(tabs, 101)]
        except UiAutoError:
            self.kill()
            raise

    def title(self):
        for w in self.ui.windows(self.pid):
            if w["hwnd"] == self.hwnd:
                return w["title"]
        return None

    def controls(self):
        return {c["id"]: c for c in self.ui.dump(self.hwnd)}

    def toolbar_buttons(self):
        out = {}
        for line in self.ui.call("toolbar", "--hwnd", self.hwnd, "--id", 111).splitlines():
            f = line.split("\t")
            if f[0] == "button":
                out[int(f[2])] = {k: v == "1" for k, v in (x.split("=") for x in f[3:7])}
            elif f[0] == "separator":
                out.setdefault("separators", []).append(int(f[1]))
        return out

    def log_texts(self, session=0):
        rows = []
        for line in self.ui.call("listview", "--hwnd", self.hwnd, "--id", 100 + session).splitlines():
            f = line.split("\t")
            if f[0] == "row":
                rows.append((unescape(f[2]), unescape(f[3]) if len(f) > 3 else ""))
            elif f[0] == "columns":
                self.columns = [unescape(x) for x in f[2:]]
        return rows

    def wait_rows(self, session, condition, what, timeout_s=40):
        deadline = time.time() + timeout_s
        while True:
            info = self.probe.rows(self.logs[session])
            if condition(info):
                return info
            if time.time() > deadline:
                check(False, "timed out waiting for %s (kinds %r)" % (what, info["kinds"]))
                return info
            time.sleep(0.2)

    def open_settings_menu(self):
        self.ui.call("command", "--hwnd", self.host, "--id", 403)
        return self.probe.menu_state(self.pid)

    def close_menu(self):
        self.probe.menu_key(self.pid, vk=27)
        # The settings button ignores clicks for 300 ms after its menu closed.
        time.sleep(0.35)

    def context_menu(self, session, key, row=None):
        """Right click in a log (on a row, or in its empty area) and choose by key."""
        if row is None:
            self.probe.call("rclick", "--hwnd", self.logs[session], "--x", 20, "--y", 60)
        else:
            self.probe.call("rclick-row", "--hwnd", self.logs[session], "--row", row)
        self.probe.menu_key(self.pid, key=key)
        self.probe.call("sync", "--hwnd", self.hwnd)

    def screenshot(self, path):
        """Saves the window as PNG; returns its pixels (rows of RGB tuples)."""
        bmp = path[:-4] + ".bmp"
        self.ui.call("screenshot", "--hwnd", self.hwnd, windows_path(bmp))
        pixels = bmp_to_png(bmp, path)
        os.remove(bmp)
        print("screenshot: " + path, flush=True)
        return pixels

    def rect(self, hwnd):
        return [int(x) for x in self.probe.call("rect", "--hwnd", hwnd).split("\t")[1:5]]

    def tooltip(self, command, expected):
        """Rests the real pointer on a toolbar button; the tooltip's text.
        Each attempt makes the window active again (tooltips show only over
        the active window) and brings the pointer back onto the button."""
        shown, deadline = None, time.time() + 20
        while shown != expected and time.time() < deadline:
            x, y = self.probe.call("button-on-screen", "--hwnd", self.toolbar, "--id", command).split("\t")[1:3]
            subprocess.run(["xdotool", "mousemove", x.strip(), y.strip()], check=True)
            try:
                shown = self.probe.call("tooltip", "--pid", self.pid, timeout_ms=3000).split("\t", 1)[1].strip()
            except UiAutoError:
                shown = None
            subprocess.run(["xdotool", "mousemove", "0", "0"], check=True)
        return shown

    def close_and_wait(self):
        self.ui.call("click", "--hwnd", self.hwnd, "--id", 2)
        return self.wait_exit()

    def wait_exit(self, timeout_ms=30000):
        code = self.run.wait_exit(timeout_ms=timeout_ms)
        self.exited = True
        return code

    def kill(self):
        if not self.exited:
            self.ui.kill(self.pid)
            self.exited = True


def closed_port():
    """A 127.0.0.1 port with nothing listening (connections are refused)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def read_ini(path):
    values = {}
    if not os.path.exists(path):
        return values
    section = ""
    with open(path, encoding="cp932") as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line.strip("[]")
            elif "=" in line:
                key, _, value = line.partition("=")
                values[section + "/" + key] = value
    return values


def write_ini(path, text):
    with open(path, "w", newline="\r\n", encoding="cp932") as f:
        f.write(text)


def program_folder(folder, name, exe):
    path = os.path.join(folder, name)
    os.mkdir(path)
    shutil.copy(exe, os.path.join(path, "dorimel.exe"))
    return os.path.join(path, "dorimel.exe"), os.path.join(path, "dorimel.ini")


# ---- window ---------------------------------------------------------------------

# ID: (class, text, enabled, check state or None)
EXPECTED_CONTROLS = {
    1033: ("Edit", "", True, None),
    1034: ("Edit", "", True, None),
    1029: ("Static", "", True, None),
    1027: ("Button", "", True, None),
    1004: ("SysTabControl32", "", True, None),
    1028: ("Static", "", True, None),
    1030: ("Static", "", True, None),
    1031: ("Static", None, True, None),
    1026: ("Static", "", True, None),
    1019: ("Button", "終了したらダイアログを閉じる(&C)", True, "1"),
    1041: ("Button", "...", True, "0"),
    3: ("Button", "ﾌｧｲﾙを開く(&O)", False, None),
    4: ("Button", "ﾌｫﾙﾀﾞを開く(&F)", True, None),
    2: ("Button", "閉じる", True, None),
}
LABELS = ["URL：", "保存先：", "経過：", "残り：", "速度：", "ﾘﾄﾗｲ："]


def check_initial_window(w):
    """The window behind the first new-download dialog, before any download."""
    check(w.title() == "Dorimel", "caption %r" % w.title())
    controls = w.controls()
    for cid, (cls, text, enabled, checked) in EXPECTED_CONTROLS.items():
        c = controls.get(cid)
        if not check(c is not None, "control %d missing" % cid):
            continue
        check(c["cls"] == cls, "control %d class %r" % (cid, c["cls"]))
        if text is not None:
            check(c["text"] == text, "control %d text %r, expected %r" % (cid, c["text"], text))
        check(c["enabled"] == enabled, "control %d enabled=%s" % (cid, c["enabled"]))
        if checked is not None:
            check(c["check"] == checked, "control %d check=%s" % (cid, c["check"]))
    texts = [c["text"] for c in controls.values()]
    for label in LABELS:
        check(label in texts, "label %r missing" % label)
    for cid in (1033, 1034):
        check(w.probe.style(w.probe.child(w.hwnd, cid)) & 0x0800, "edit %d is not read-only" % cid)
    check(w.probe.style(w.probe.child(w.hwnd, 1029)) & 0x1000, "progress frame is not sunken")
    check(w.probe.style(w.host) & 0xF == 0xB, "toolbar host is not owner-drawn")
    check(w.probe.style(w.probe.child(w.hwnd, 1041)) & 0x1000, "hash button is not push-like")

    buttons = w.toolbar_buttons()
    check(buttons.get("separators") == [2], "separator before the third button: %r" % buttons)
    expect = {400: (False, False), 401: (False, False), 402: (True, True), 403: (True, False)}
    for command, (enabled, checked) in expect.items():
        b = buttons.get(command)
        if check(b is not None, "toolbar button %d missing" % command):
            check(b["enabled"] == enabled and b["checked"] == checked,
                  "toolbar button %d: %r" % (command, b))

    tabs = [line.split("\t") for line in w.ui.call("tabs", "--hwnd", w.hwnd, "--id", 1004).splitlines()]
    check([t[3] for t in tabs] == ["--- / ---", "--- / ---"], "tabs %r" % tabs)
    rows = w.log_texts(0)
    check(w.columns == ["時刻", "進行状況"], "columns %r" % w.columns)
    check(len(rows) == 1 and rows[0][1] == BANNER, "first rows %r" % rows)
    check(rows and re.fullmatch(r"\d\d:\d\d:\d\d", rows[0][0]), "time column %r" % rows[:1])
    check(w.probe.rows(w.logs[0])["kinds"][:1] == [1], "banner row is not kind 1")
    check(w.probe.rows(w.logs[1])["count"] == 0, "log 1 is not empty")


def test_window(ui, probe, exe, folder, artifacts):
    # 1. As the window opens (the new-download dialog in front of it), with an
    #    options file that sets the close-when-finished box and scroll lock.
    program, ini = program_folder(folder, "first", exe)
    write_ini(ini, "[MainOptions]\nCloseWithComplete=1\nScrollLock=1\n")
    print("case: the window as it opens", flush=True)
    w = Window(ui, probe, program, [], title="Dorimel")
    try:
        check_initial_window(w)
        dialog = ui.wait_window(pid=w.pid, title="新規ダウンロード", timeout_ms=30000)
        ui.call("click", "--hwnd", dialog["hwnd"], "--id", 2)  # cancelling it ends the program
        check(w.wait_exit() == 0, "exit code after cancelling the first dialog")
        w.exited = True
        values = read_ini(ini)
        check(values.get("MainOptions/CloseWithComplete") == "1" and values.get("MainOptions/ScrollLock") == "1",
              "keys after closing: %r" % values)
    finally:
        w.kill()

    # 2. A running download that cannot connect (nothing listens on the port).
    program, ini = program_folder(folder, "second", exe)
    url = "http://127.0.0.1:%d/file.bin" % closed_port()
    print("case: About, option menu, guard, clipboard, closing", flush=True)
    w = Window(ui, probe, program, ["-nd", "1", "-td", windows_path(folder), url])
    try:
        # The system menu as Alt+Space opens it: restore and size removed from
        # the first group (move, minimise remain), About and home page appended
        # after a separator; "バージョン情報(&V)" is chosen by its key.
        probe.call("syscommand", "--hwnd", w.hwnd, "--id", 0xF100, "--row", 32)  # SC_KEYMENU, " "
        menu = probe.menu_state(w.pid)
        groups, current = [], 0
        for entry in menu + ["separator"]:
            if entry == "separator":
                groups.append(current)
                current = 0
            else:
                current += 1
        check(len(groups) >= 3 and groups[0] == 2 and groups[-1] == 2, "system menu shape %r" % menu)
        probe.menu_key(w.pid, key="v")
        box = ui.msgbox(w.pid)
        check(box.get("caption") == "About" and box.get("icon") == "information" and box.get("buttons") == "OK",
              "About box %r" % box)
        check(box.get("text") == "\nDorimel ver0.11" + " " * 19 + "\r\n" + " " * 28, "About text %r" % box.get("text"))
        ui.answer(w.pid, "ok")
        ui.call("msgbox-gone", "--pid", w.pid)

        for command, text in ((400, "再開"), (401, "停止"), (402, "ｽｸﾛｰﾙﾛｯｸ"), (403, "設定")):
            shown = w.tooltip(command, text)
            check(shown == text, "tooltip of %d: %r" % (command, shown))

        # No options file: every flag off, no speed-limit value: 50011 greyed;
        # re-setup only while stopped.
        menu = w.open_settings_menu()
        w.close_menu()
        check(menu == [(False, True), (False, False), (False, False), (False, False), "separator", (False, True)],
              "option menu with defaults: %r" % menu)
        for command in (50012, 50013, 50008):
            ui.call("command", "--hwnd", w.hwnd, "--id", command)
        menu = w.open_settings_menu()
        w.close_menu()
        check(menu == [(False, True), (True, False), (True, False), (True, False), "separator", (False, True)],
              "option menu after toggling 50012, 50013, 50008: %r" % menu)
        ui.call("command", "--hwnd", w.hwnd, "--id", 50012)
        menu = w.open_settings_menu()
        w.close_menu()
        check(menu[1] == (False, False), "50012 toggled back: %r" % menu)

        # The click that closes the settings menu must not reopen it; the
        # timing can slip on a loaded machine, so a slow attempt is repeated.
        for attempt in range(3):
            result = dict(line.split("\t", 1) for line in
                          probe.call("settings-guard", "--pid", w.pid, "--hwnd", w.host).splitlines())
            again, ms = result["again"].split("\t")
            if again == "ignored" or int(ms) >= 250:
                break
        check(again == "ignored", "a click right after the menu closed reopened it (%s ms)" % ms)
        check(result.get("later") == "shown", "a later click did not open the menu")

        # Clipboard: copy the selected row, copy all, copy all of the empty
        # log (leaves the clipboard alone), delete all.
        w.wait_rows(0, lambda i: 2 in i["kinds"], "a connection error row")
        rows = w.log_texts(0)
        w.context_menu(0, "c", row=0)
        check(ui.call("clipboard-get") == BANNER + "\r\n", "copy: %r" % ui.call("clipboard-get"))
        w.context_menu(0, "a", row=0)
        copied = ui.call("clipboard-get")
        expected = "".join(text + "\r\n" for _, text in rows)
        check(copied.startswith(expected), "copy all: %r, expected it to start with %r" % (copied, expected))
        ui.call("clipboard-set", "untouched")
        w.context_menu(1, "a")
        check(ui.call("clipboard-get") == "untouched", "copy all of an empty log changed the clipboard")
        w.context_menu(0, "d", row=0)
        # The session keeps retrying, so new rows may arrive at any moment
        # (more than one on a loaded machine); what must be gone are the old
        # rows, of which the banner is the one that never comes again.
        deadline = time.time() + 10
        while any(text == BANNER for _, text in w.log_texts(0)) and time.time() < deadline:
            time.sleep(0.2)
        check(all(text != BANNER for _, text in w.log_texts(0)), "delete all left rows")

        # Closing: nothing downloaded yet, so no question; the two keys are written.
        ui.call("click", "--hwnd", w.hwnd, "--id", 1019)
        check(w.close_and_wait() == 0, "exit code after closing")
        values = read_ini(ini)
        check(values.get("MainOptions/CloseWithComplete") == "1", "CloseWithComplete %r" % values)
        check(values.get("MainOptions/ScrollLock") == "0", "ScrollLock %r" % values)
    finally:
        w.kill()


# ---- session ----------------------------------------------------------------------

LONG_VALUE = "".join("%03d-" % i for i in range(80))  # 320 bytes
# 270 bytes in code page 932, with a double-byte character on bytes 258-259:
# a copy is cut before it, at 258 bytes, rather than through it.
KANJI_LINE = "X-Kanji: a" + "あ" * 130


def test_session(ui, probe, exe, folder, artifacts, server_script):
    root = os.path.join(folder, "www")
    os.mkdir(root)
    header = ["HTTP/1.0 200 OK", "Server: dorimel-window-test", "X-Long: " + LONG_VALUE, KANJI_LINE]
    header += ["X-Row-%02d: header line %d" % (i, i) for i in range(1, 11)]
    header += ["Content-Length: not-a-number", "", ""]
    with open(os.path.join(root, "bad.txt"), "wb") as f:
        f.write("\r\n".join(header).encode("cp932"))
    server = subprocess.Popen([sys.executable, server_script, "--root", root], stdout=subprocess.PIPE)
    port = int(server.stdout.readline().split()[1])

    program, ini = program_folder(folder, "session", exe)
    # Scroll lock on; speed limit on at 5 K/s; no redirect, retry on error,
    # restart when resuming is impossible.
    write_ini(ini, "[MainOptions]\nScrollLock=1\nFlags=60\nSuppressSize=5\n")
    url = "http://127.0.0.1:%d/raw/bad.txt" % port
    print("case: a session against a local server", flush=True)
    w = Window(ui, probe, program, ["-nd", "1", "-td", windows_path(folder), url])
    try:
        info = w.wait_rows(0, lambda i: 7 in i["kinds"] and 3 in i["kinds"], "the fatal and waiting rows")
        for kind in (1, 4, 5, 7, 3):
            check(kind in info["kinds"], "no row of kind %d: %r" % (kind, info["kinds"]))
        check(info["count"] > info["perpage"] and info["top"] == 0,
              "scroll lock: %d rows, top %d" % (info["count"], info["top"]))
        rows = w.log_texts(0)
        long_rows = [text for _, text in rows if text.startswith("X-Long: ")]
        check(long_rows == ["X-Long: " + LONG_VALUE], "the long row is not shown whole: %r" % long_rows)
        w.context_menu(0, "a", row=0)
        copied = ui.call("clipboard-get").split("\r\n")
        cut = [line for line in copied if line.startswith("X-Long: ")]
        check(cut == [("X-Long: " + LONG_VALUE)[:259]], "long row copied as %r" % cut)
        kanji = [line for line in copied if line.startswith("X-Kanji: ")]
        check(kanji == [KANJI_LINE[:10 + 124]], "double-byte row copied as %r" % kanji)
        check(any(text == KANJI_LINE for _, text in rows), "the double-byte row is not shown whole")

        title = w.title()
        check(title is not None and title.endswith(" / bad.txt " + SPEED_LIMITED), "title %r" % title)
        menu = w.open_settings_menu()
        w.close_menu()
        check(menu == [(True, False), (True, False), (True, False), (True, False), "separator", (False, True)],
              "option menu with every flag and a speed-limit value: %r" % menu)
        ui.call("command", "--hwnd", w.hwnd, "--id", 50011)
        deadline = time.time() + 20
        while SPEED_LIMITED in (w.title() or "") and time.time() < deadline:
            time.sleep(0.1)
        check(SPEED_LIMITED not in (w.title() or ""), "title still limited: %r" % w.title())

        # The hash menu before the file is in place (first item: MD5 entered
        # in advance): the dialog names the file where it will be kept, not
        # the temporary file, and only records the value.
        ui.call("command", "--hwnd", w.hwnd, "--id", 1041)
        probe.call("popup-key", "--pid", w.pid, "--row", 1, "--vk", 13)
        digest = ui.wait_window(pid=w.pid, title="MD5", cls="#32770")
        fields = {c["id"]: c for c in ui.dump(digest["hwnd"])}
        expected = windows_path(os.path.join(folder, "bad.txt"))
        check(fields[1002]["text"] == expected, "hash dialog file %r, not %r" % (fields[1002]["text"], expected))
        check(fields[2]["text"] == "閉じる", "hash dialog button %r" % fields[2]["text"])
        ui.call("command", "--hwnd", digest["hwnd"], "--id", 2)
        probe.call("sync", "--hwnd", w.hwnd)

        # Scroll lock off; the server goes away, so the next attempt fails to
        # connect and the view follows the new rows.
        probe.call("toolbar-click", "--hwnd", w.toolbar, "--id", 402)
        probe.call("sync", "--hwnd", w.hwnd)
        check(not w.toolbar_buttons()[402]["checked"], "scroll lock still pressed")
        seen = probe.rows(w.logs[0])["count"]
        server.terminate()
        server.wait(20)
        info = w.wait_rows(0, lambda i: 2 in i["kinds"][seen:], "a connection error row", timeout_s=60)
        # The last row is in view (a row may arrive between the two reads).
        check(info["top"] > 0 and info["top"] + info["perpage"] >= info["count"],
              "the view did not follow: %r" % info)

        probe.call("toolbar-click", "--hwnd", w.toolbar, "--id", 401)
        info = w.wait_rows(0, lambda i: 6 in i["kinds"], "the stopped row")
        deadline = time.time() + 10
        while time.time() < deadline:
            buttons = w.toolbar_buttons()
            if buttons[400]["enabled"]:
                break
            time.sleep(0.1)
        check(buttons[400]["enabled"] and not buttons[401]["enabled"], "toolbar after stop: %r" % buttons)
        check(w.controls()[2]["text"] == "ｷｬﾝｾﾙ", "close button while stopped")
        menu = w.open_settings_menu()
        w.close_menu()
        check(menu[-1] == (False, False), "re-setup not enabled while stopped: %r" % menu)

        shoot_every_kind(w, artifacts)
        check(w.close_and_wait() == 0, "exit code after closing")
        values = read_ini(ini)
        check(values.get("MainOptions/ScrollLock") == "0" and values.get("MainOptions/CloseWithComplete") == "0",
              "keys after closing: %r" % values)
    finally:
        w.kill()
        if server.poll() is None:
            server.terminate()
            server.wait(20)


def test_progress(ui, probe, exe, folder, artifacts, server_script):
    """A split download that stalls part-way: title, bar and the cancel question."""
    root = os.path.join(folder, "www2")
    os.mkdir(root)
    with open(os.path.join(root, "big.bin"), "wb") as f:
        f.write(bytes(range(256)) * 1600)  # 409600 bytes
    server = subprocess.Popen([sys.executable, server_script, "--root", root], stdout=subprocess.PIPE)
    port = int(server.stdout.readline().split()[1])
    program, ini = program_folder(folder, "progress", exe)
    target = os.path.join(folder, "target")
    os.mkdir(target)
    write_ini(ini, "[MainOptions]\nIsUseDirectDelete=1\n")
    # Each session stalls after 102400 bytes: session 0 at 25 %, session 1 at 75 %.
    url = "http://127.0.0.1:%d/x/stall=102400/big.bin" % port
    print("case: a split download that stalls", flush=True)
    w = Window(ui, probe, program, ["-nd", "1", "-sp", "1", "-td", windows_path(target), url])
    try:
        deadline, title = time.time() + 40, None
        while time.time() < deadline:
            title = w.title()
            if title == "50% / big.bin ":
                break
            time.sleep(0.2)
        check(title == "50% / big.bin ", "title of the stalled split download %r" % title)
        check(w.controls()[2]["text"] == "ｷｬﾝｾﾙ", "close button while running")

        pixels = w.screenshot(os.path.join(artifacts, "download_window_progress.png"))
        wl, wt = w.rect(w.hwnd)[:2]
        left, top, right, bottom = w.rect(probe.child(w.hwnd, 1029))
        y = (top + bottom) // 2 - wt
        # Sample inside the sunken edge (2 pixels) at a quarter's steps.
        inner_left, inner_width = left - wl + 2, right - left - 4
        at = lambda fraction: pixels[y][inner_left + int(inner_width * fraction)]
        done, rest = at(0.10), at(0.40)
        check(done != rest, "the received part is not painted: %r" % (done,))
        check(at(0.60) == done and at(0.90) == rest,
              "split bar: %r" % ([at(f) for f in (0.1, 0.4, 0.6, 0.9)],))

        # The second tab shows session 1's log in place of session 0's.
        probe.call("send", "--hwnd", probe.child(w.hwnd, 1004), "--id", 0x1330, "--row", 1)  # TCM_SETCURFOCUS
        controls = {(c["id"], c["cls"]): c for c in ui.dump(w.hwnd)}
        check(controls[(101, "SysListView32")]["visible"] and not controls[(100, "SysListView32")]["visible"],
              "tab 1 does not show log 1")
        check(probe.rows(w.logs[1])["count"] > 0, "session 1 logged nothing")
        w.screenshot(os.path.join(artifacts, "download_window_session1.png"))

        # Closing while data is there asks first; No keeps everything going.
        temp = os.path.join(target, "big.bin.dorimelt")
        check(os.path.exists(temp), "no temporary file")
        ui.call("click", "--hwnd", w.hwnd, "--id", 2)
        box = ui.msgbox(w.pid)
        check(box == {"caption": "確認", "icon": "question", "text": "ダウンロードをキャンセルしますか？",
                      "buttons": "Yes,No"}, "cancel question %r" % box)
        ui.answer(w.pid, "no")
        ui.call("msgbox-gone", "--pid", w.pid)
        check(w.title() == "50% / big.bin ", "the window changed after No")
        ui.call("click", "--hwnd", w.hwnd, "--id", 2)
        ui.msgbox(w.pid)
        ui.answer(w.pid, "yes")
        box = ui.msgbox(w.pid)
        check(box.get("text") == "ダウンロード中のファイルを削除しますか？", "delete question %r" % box)
        ui.answer(w.pid, "yes")
        check(w.wait_exit() == 0, "exit code")
        w.exited = True
        check(not os.path.exists(temp), "the temporary file was not deleted")
    finally:
        w.kill()
        server.terminate()
        server.wait(20)


def shoot_every_kind(w, artifacts):
    """Screenshots of the log scrolled so that together they show every kind."""
    os.makedirs(artifacts, exist_ok=True)
    info = w.probe.rows(w.logs[0])
    kinds, per = info["kinds"], info["perpage"]
    wanted, shots, start = set(range(1, 8)), 0, 0
    while wanted and start < len(kinds) and shots < 4:
        # The page starting at the first row of a kind not yet shown.
        first = next((i for i, k in enumerate(kinds) if k in wanted and i >= start), None)
        if first is None:
            break
        top = max(0, min(first, len(kinds) - per))
        # Scroll as a user would: to the bottom of the page, then its top.
        scroll_to(w, top, per, len(kinds))
        w.screenshot(os.path.join(artifacts, "download_window_%d.png" % (shots + 1)))
        wanted -= set(kinds[top:top + per])
        start, shots = top + per, shots + 1
    check(not wanted, "kinds never shown in a screenshot: %r" % sorted(wanted))


def scroll_to(w, top, per, count):
    # LVM_ENSUREVISIBLE (0x1013) of the page's last row then its first row.
    w.probe.call("send", "--hwnd", w.logs[0], "--id", 0x1013, "--row", min(count - 1, top + per - 1))
    w.probe.call("send", "--hwnd", w.logs[0], "--id", 0x1013, "--row", top)


# ---- settings ------------------------------------------------------------------------

def test_settings(ui, probe, exe, folder, artifacts):
    program, ini = program_folder(folder, "readonly", exe)
    write_ini(ini, "[MainOptions]\nCloseWithComplete=0\nScrollLock=0\n")
    os.chmod(ini, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
    url = "http://127.0.0.1:%d/file.bin" % closed_port()
    print("case: read-only options file", flush=True)
    w = Window(ui, probe, program, ["-nd", "1", "-td", windows_path(folder), url])
    try:
        ui.call("click", "--hwnd", w.hwnd, "--id", 1019)
        ui.call("click", "--hwnd", w.hwnd, "--id", 2)
        box = ui.msgbox(w.pid)
        check(box == {"caption": "Dorimel", "icon": "warning", "text": SAVE_RETRY, "buttons": "Yes,No"},
              "save failure question %r" % box)
        ui.answer(w.pid, "yes")
        ui.call("msgbox-gone", "--pid", w.pid)
        box = ui.msgbox(w.pid)  # still read-only: asked again
        check(box.get("text") == SAVE_RETRY, "second question %r" % box)
        os.chmod(ini, stat.S_IRUSR | stat.S_IWUSR | stat.S_IRGRP | stat.S_IROTH)
        ui.answer(w.pid, "yes")
        check(w.wait_exit() == 0, "exit code")
        w.exited = True
        values = read_ini(ini)
        check(values.get("MainOptions/CloseWithComplete") == "1" and values.get("MainOptions/ScrollLock") == "0",
              "keys after the retry: %r" % values)
    finally:
        w.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=["window", "session", "settings"])
    parser.add_argument("--dorimel", required=True)
    parser.add_argument("--uiauto", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()
    missing = missing_setup([args.dorimel, args.uiauto, args.probe, args.server])
    if missing is not None:
        return missing
    ui, probe = UiAuto(args.uiauto), Probe(args.probe)
    folder = tempfile.mkdtemp(prefix="dorimel-window-")
    try:
        if args.group == "window":
            test_window(ui, probe, args.dorimel, folder, args.artifacts)
        elif args.group == "session":
            test_session(ui, probe, args.dorimel, folder, args.artifacts, args.server)
            test_progress(ui, probe, args.dorimel, folder, args.artifacts, args.server)
        else:
            test_settings(ui, probe, args.dorimel, folder, args.artifacts)
    except UiAutoError as e:
        check(False, str(e))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
