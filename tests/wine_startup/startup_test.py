#!/usr/bin/env python3
"""Start-up of the real dorimel.exe under Wine, seen through the UI automation
tool: command-line errors come as one message box (exact text, caption, icon)
and end the process with code 0 without opening the window; valid command
lines open the download window, which reads the options file named after the
program.

usage: startup_test.py errors|window --dorimel EXE --uiauto EXE
"""
import argparse
import os
import shutil
import socket
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win"))
from uiauto import UiAuto, UiAutoError, missing_setup, windows_path  # noqa: E402

COMMAND_LINE_ERROR = "コマンドラインエラー"
ERROR = "エラー"
FILE_NOT_FOUND = "ファイルが存在しません。"
BROKEN_FILE = "このファイルは壊れているか、より新しいDorimelにより作成されたファイルです。"
CLOSE_WHEN_FINISHED = 1019  # the download window's close-when-finished check box
SESSION0_LOG = 100  # the list view of session 0's log

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return condition


def error_cases(folder):
    """(name, arguments, caption, text) of every command-line error."""
    a_file = os.path.join(folder, "plain.txt")
    with open(a_file, "w") as f:
        f.write("not a folder\n")
    short_file = os.path.join(folder, "short.dorimelt")
    with open(short_file, "wb") as f:
        f.write(b"Dorimel:1\r\n" + b"\0" * 1000)
    no_marker = os.path.join(folder, "other.dorimelt")
    with open(no_marker, "wb") as f:
        f.write(b"Something else:1\r\n" + b"\0" * 600000)
    missing = windows_path(os.path.join(folder, "無い ファイル.dorimelt"))
    return [
        ("missing value", ["-rf"], COMMAND_LINE_ERROR, "-rf の引数がありません"),
        ("missing value after a valid option", ["-nd", "1", "-fs"], COMMAND_LINE_ERROR,
         "-fs の引数がありません"),
        ("bad 0/1 value", ["-nd", "yes"], COMMAND_LINE_ERROR, "-nd の引数が不正です"),
        ("time-out of 0", ["-to", "0"], COMMAND_LINE_ERROR, "タイムアウト値が不正です。"),
        ("time-out abc", ["-to", "abc"], COMMAND_LINE_ERROR, "タイムアウト値が不正です。"),
        ("negative speed limit", ["-ss", "-5"], COMMAND_LINE_ERROR, "-ss の引数が不正です"),
        ("unknown option", ["-x"], COMMAND_LINE_ERROR, "知らないオプションです : -x"),
        ("two URLs", ["http://127.0.0.1/a", "ftp://127.0.0.1/b"], COMMAND_LINE_ERROR,
         "URLが複数指定されています"),
        ("-td naming a file", ["-td", windows_path(a_file)], ERROR,
         windows_path(a_file) + "\\ は存在しないかフォルダではありません"),
        ("missing temporary file (Japanese name with a blank)", [missing], COMMAND_LINE_ERROR,
         FILE_NOT_FOUND + " : " + missing),
        ("upper-case scheme is a file path", ["HTTP://127.0.0.1/file"], COMMAND_LINE_ERROR,
         FILE_NOT_FOUND + " : HTTP://127.0.0.1/file"),
        ("an option takes the next argument whatever it is", ["-rf", "-to", "5"],
         COMMAND_LINE_ERROR, FILE_NOT_FOUND + " : 5"),
        ("temporary file shorter than its state block", [windows_path(short_file)],
         COMMAND_LINE_ERROR, BROKEN_FILE + " : " + windows_path(short_file)),
        ("temporary file without the marker", [windows_path(no_marker)],
         COMMAND_LINE_ERROR, BROKEN_FILE + " : " + windows_path(no_marker)),
    ]


def run_error_case(ui, exe, name, arguments, caption, text):
    run = ui.run(exe, *arguments)
    pid = run.pid
    exited = False
    try:
        box = ui.msgbox(pid, timeout_ms=60000)
        shown = ui.windows(pid)
        ui.answer(pid, "ok")
        code = run.wait_exit(timeout_ms=60000)
        exited = True
        check(box.get("caption") == caption, "%s: caption %r" % (name, box.get("caption")))
        check(box.get("icon") == "error", "%s: icon %r" % (name, box.get("icon")))
        check(box.get("text") == text, "%s: text %r, expected %r" % (name, box.get("text"), text))
        check(box.get("buttons") == "OK", "%s: buttons %r" % (name, box.get("buttons")))
        check(len(shown) == 1, "%s: windows besides the message box: %r" % (name, shown))
        check(code == 0, "%s: exit code %d" % (name, code))
    except UiAutoError as e:
        check(False, "%s: %s" % (name, e))
    finally:
        if not exited:
            ui.kill(pid)


def test_errors(ui, exe, folder):
    for case in error_cases(folder):
        print("case: " + case[0], flush=True)
        run_error_case(ui, exe, *case)


def close_window(ui, run, hwnd, name):
    """Closes the download window of the program run (UiAuto.run); its exit
    code, None when a question came on the way (a failure)."""
    pid = run.pid
    ui.close(hwnd)
    try:
        return run.wait_exit(timeout_ms=60000)
    except UiAutoError:
        try:
            box = ui.msgbox(pid, timeout_ms=1000)
            check(False, "%s: closing asked %r" % (name, box))
        except UiAutoError:
            check(False, "%s: the window did not close" % name)
        ui.kill(pid)
        return None


def session0_log(ui, pid, must_contain, timeout_s=60):
    """Session 0's log rows once one of them holds must_contain (bounded)."""
    deadline = time.monotonic() + timeout_s
    while True:
        rows = [line.split("\t")[2:] for line in
                ui.call("listview", "--pid", pid, "--class", "#32770", "--id", SESSION0_LOG).splitlines()
                if line.startswith("row\t")]
        if any(must_contain in cells for cells in rows) or time.monotonic() > deadline:
            return rows
        time.sleep(0.2)  # the log is another process's window: nothing to wait on


def run_window_case(ui, exe, name, arguments, expect_checked):
    run = ui.run(exe, *arguments)
    pid = run.pid
    try:
        # The caption starts as "Dorimel" and soon shows the job's progress.
        window = ui.wait_window(pid=pid, cls="#32770", timeout_ms=60000)
    except UiAutoError as e:
        check(False, "%s: %s" % (name, e))
        ui.kill(pid)
        return
    controls = {c["id"]: c for c in ui.dump(window["hwnd"])}
    box = controls.get(CLOSE_WHEN_FINISHED)
    if check(box is not None, "%s: not the download window: %r" % (name, window)):
        check(box["check"] == ("1" if expect_checked else "0"),
              "%s: close-when-finished is %s" % (name, box["check"]))
    # -nd 1 without a URL: no dialog, session 0 starts and finds no URL.
    rows = session0_log(ui, pid, "URLが不正です。")
    check(any("URLが不正です。" in cells for cells in rows), "%s: session 0 log %r" % (name, rows))
    code = close_window(ui, run, window["hwnd"], name)
    check(code in (0, None), "%s: exit code %s" % (name, code))


def test_window(ui, exe, folder):
    # The program as shipped, no options file: defaults.
    plain = os.path.join(folder, "plain")
    os.mkdir(plain)
    shutil.copy(exe, os.path.join(plain, "dorimel.exe"))
    print("case: valid command line, no options file", flush=True)
    run_window_case(ui, os.path.join(plain, "dorimel.exe"), "no options file", ["-nd", "1"], False)

    # No arguments: the new-download dialog asks; cancelling it ends the program.
    print("case: no arguments, the new-download dialog is cancelled", flush=True)
    run = ui.run(os.path.join(plain, "dorimel.exe"))
    pid = run.pid
    try:
        dialog = ui.wait_window(pid=pid, title="新規ダウンロード", timeout_ms=60000)
        ui.call("click", "--hwnd", dialog["hwnd"], "--id", 2)
        code = run.wait_exit(timeout_ms=60000)
        check(code == 0, "cancelled dialog: exit code %d" % code)
    except UiAutoError as e:
        check(False, "cancelled dialog: %s" % e)
        ui.kill(pid)

    # x.y.exe reads x.y.ini (not x.ini, not dorimel.ini); keys and sections it
    # does not know survive the window's writes.
    renamed = os.path.join(folder, "renamed")
    os.mkdir(renamed)
    shutil.copy(exe, os.path.join(renamed, "x.y.exe"))
    with open(os.path.join(renamed, "x.y.ini"), "w", newline="\r\n") as f:
        f.write("[Keep]\nunknown=kept value\n[MainOptions]\nCloseWithComplete=1\n")
    with open(os.path.join(renamed, "x.ini"), "w", newline="\r\n") as f:
        f.write("[MainOptions]\nCloseWithComplete=0\n")
    print("case: x.y.exe uses x.y.ini", flush=True)
    run_window_case(ui, os.path.join(renamed, "x.y.exe"), "x.y.ini", ["-nd", "1"], True)
    with open(os.path.join(renamed, "x.y.ini"), encoding="cp932") as f:
        ini = f.read()
    check("unknown=kept value" in ini and "[Keep]" in ini, "x.y.ini lost a key: %r" % ini)
    check(not os.path.exists(os.path.join(renamed, "dorimel.ini")), "dorimel.ini was created")

    # The command line overrides the options file.
    print("case: -ac 0 overrides CloseWithComplete=1", flush=True)
    run_window_case(ui, os.path.join(renamed, "x.y.exe"), "-ac 0", ["-ac", "0", "-nd", "1"], False)


def free_port():
    """A port on 127.0.0.1 that nothing listens on (connections are refused)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_target_folder(ui, exe, folder):
    """-td with a relative folder: made a full path with a backslash, it
    prefixes the target name shown in the window. The server refuses, so no
    temporary file exists and closing asks nothing."""
    print("case: -td with a relative folder", flush=True)
    os.mkdir(os.path.join(folder, "sub"))
    url = "http://127.0.0.1:%d/file.bin" % free_port()
    previous = os.getcwd()
    os.chdir(folder)  # the program's current folder is the tool's
    try:
        run = ui.run(exe, "-nd", "1", "-td", "sub", url)
        pid = run.pid
    finally:
        os.chdir(previous)
    try:
        window = ui.wait_window(pid=pid, cls="#32770", timeout_ms=60000)
        rows = session0_log(ui, pid, "5秒間待機しています")
        controls = {c["id"]: c for c in ui.dump(window["hwnd"])}
        expected = windows_path(os.path.join(folder, "sub")) + "\\file.bin"
        check(controls.get(1034, {}).get("text") == expected,
              "-td sub: target box %r, expected %r" % (controls.get(1034), expected))
        check(controls.get(1033, {}).get("text") == url, "-td sub: URL box %r" % controls.get(1033))
        check(any("5秒間待機しています" in cells for cells in rows), "-td sub: session 0 log %r" % rows)
    except UiAutoError as e:
        check(False, "-td sub: %s" % e)
        ui.kill(pid)
        return
    code = close_window(ui, run, window["hwnd"], "-td sub")
    check(code in (0, None), "-td sub: exit code %s" % code)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=["errors", "window"])
    parser.add_argument("--dorimel", required=True)
    parser.add_argument("--uiauto", required=True)
    args = parser.parse_args()
    missing = missing_setup([args.dorimel, args.uiauto])
    if missing is not None:
        return missing
    args.dorimel = os.path.abspath(args.dorimel)
    ui = UiAuto(args.uiauto)
    folder = tempfile.mkdtemp(prefix="dorimel-startup-")
    try:
        if args.group == "errors":
            test_errors(ui, args.dorimel, folder)
        else:
            test_window(ui, args.dorimel, folder)
            test_target_folder(ui, args.dorimel, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
