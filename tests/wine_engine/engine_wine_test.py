#!/usr/bin/env python3
"""Downloads by the real dorimel.exe under Wine, against the fault server on
127.0.0.1: files of 1, 100000, 100001 bytes and 50 MB arrive byte-identical and
the window closes itself (-ac 1); with -sp 1 the server sees the second
session's "Range: bytes=<half>-"; during a slow download the window shows its
title, speed, times and progress bar (a screenshot is kept as an artefact);
a cancelled download kept with "No" resumes when its file is named.

usage: engine_wine_test.py sizes|split|window|resume --dorimel EXE --uiauto EXE --artifacts DIR
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "win"))
from uiauto import UiAuto, UiAutoError, windows_path  # noqa: E402

FAULT_SERVER = os.path.join(HERE, "..", "servers", "fault_server.py")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return condition


def pattern(size):
    """Content that differs at every offset within the file."""
    block = bytes((i * 131 + (i >> 8) * 7 + 11) & 0xFF for i in range(65521))
    whole = block * (size // len(block) + 1)
    return whole[:size]


class FaultServer:
    def __init__(self, root, record):
        self.record = record
        self.process = subprocess.Popen([sys.executable, FAULT_SERVER, "--root", root, "--record", record],
                                        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline().decode()
        if not line.startswith("PORT "):
            raise RuntimeError("fault server did not start")
        self.port = int(line.split()[1])

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def requests(self):
        names = sorted((n for n in os.listdir(self.record) if n.endswith(".req")), key=lambda n: int(n[:-4]))
        out = []
        for name in names:
            with open(os.path.join(self.record, name), "rb") as f:
                out.append(f.read().decode("latin-1"))
        return out

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()


def download(ui, dorimel, folder, url, extra=(), timeout_ms=300000):
    pid = ui.start(dorimel, "-nd", "1", "-ac", "1", *extra, "-td", windows_path(folder), url)
    try:
        code = ui.wait_exit(pid, timeout_ms=timeout_ms)
    except UiAutoError:
        ui.kill(pid)
        raise
    return code


def run_sizes(ui, args, work, server, www):
    out = os.path.join(work, "out")
    for size in (1, 100000, 100001, 50 * 1000 * 1000):
        name = "s%d.bin" % size
        data = pattern(size)
        with open(os.path.join(www, name), "wb") as f:
            f.write(data)
        os.makedirs(out, exist_ok=True)
        code = download(ui, args.dorimel, out, server.url("/f/" + name))
        check(code == 0, "%s: exit code %s" % (name, code))
        target = os.path.join(out, name)
        ok = os.path.exists(target) and os.path.getsize(target) == size
        if ok:
            with open(target, "rb") as f:
                ok = f.read() == data
        check(ok, "%s: the downloaded file is identical" % name)
        check(not os.path.exists(target + ".dorimelt"), "%s: no temporary file left" % name)


def run_split(ui, args, work, server, www):
    out = os.path.join(work, "out")
    os.makedirs(out, exist_ok=True)
    size = 100001
    data = pattern(size)
    with open(os.path.join(www, "half.bin"), "wb") as f:
        f.write(data)
    before = len(server.requests())
    # A slow body, so that session 1 starts while session 0 is in the first half.
    code = download(ui, args.dorimel, out, server.url("/x/drip=2048:10/half.bin"), ("-sp", "1"))
    check(code == 0, "split: exit code %s" % code)
    requests = server.requests()[before:]
    check(any("\r\nRange: bytes=%d-\r\n" % (size // 2) in r for r in requests),
          "split: the second session asked for Range: bytes=%d- (%d requests)" % (size // 2, len(requests)))
    with open(os.path.join(out, "half.bin"), "rb") as f:
        check(f.read() == data, "split: the downloaded file is identical")


def run_window(ui, args, work, server, www):
    out = os.path.join(work, "out")
    os.makedirs(out, exist_ok=True)
    size = 3000000
    with open(os.path.join(www, "slow.bin"), "wb") as f:
        f.write(pattern(size))
    pid = ui.start(args.dorimel, "-nd", "1", "-td", windows_path(out), server.url("/x/drip=16384:80/slow.bin"))
    try:
        ui.wait_window(pid=pid)
        # Wait (bounded) until the display shows a speed: the speed and the
        # remaining time are refreshed every 11th tick.
        deadline = time.time() + 60
        while time.time() < deadline:
            speed = ui.call("text", "--pid", pid, "--id", 1031).strip()
            if speed.endswith("kb/s") and speed != "0.00 kb/s":
                break
            time.sleep(0.5)
        texts = {}
        for control in (1028, 1030, 1031, 1026):
            texts[control] = ui.call("text", "--pid", pid, "--id", control).strip()
        title = ui.windows(pid)[0]["title"]
        check("% / slow.bin" in title, "window: the title shows the percentage and the file: " + title)
        check(texts[1031].endswith("kb/s") and texts[1031] != "0.00 kb/s", "window: speed " + texts[1031])
        check(texts[1028].startswith("00:00:0"), "window: elapsed time " + texts[1028])
        check(texts[1026] == "1 / 32", "window: retries " + texts[1026])
        os.makedirs(args.artifacts, exist_ok=True)
        shot = os.path.join(args.artifacts, "download_window_running.bmp")
        ui.call("screenshot", "--pid", pid, windows_path(shot))
        check(os.path.exists(shot), "window: screenshot written")
    finally:
        ui.kill(pid)


def run_resume(ui, args, work, server, www):
    """Cancel a running download, keep its temporary file ("No" to the delete
    question), then name that file on the command line: the download ends
    byte-identical."""
    out = os.path.join(work, "out")
    os.makedirs(out, exist_ok=True)
    size = 3000000
    data = pattern(size)
    with open(os.path.join(www, "kept.bin"), "wb") as f:
        f.write(data)
    temp = os.path.join(out, "kept.bin.dorimelt")
    pid = ui.start(args.dorimel, "-nd", "1", "-td", windows_path(out), server.url("/x/drip=16384:20/kept.bin"))
    try:
        ui.wait_window(pid=pid)
        deadline = time.time() + 60
        while time.time() < deadline and not (os.path.exists(temp) and os.path.getsize(temp) > 512000 + 500000):
            time.sleep(0.2)
        check(os.path.exists(temp), "resume: the temporary file exists during the download")
        ui.close(ui.windows(pid)[0]["hwnd"])
        box = ui.msgbox(pid)
        check(box.get("text") == "ダウンロードをキャンセルしますか？", "resume: cancel question " + repr(box))
        ui.answer(pid, "yes")
        box = ui.msgbox(pid)
        check(box.get("text") == "ダウンロード中のファイルを削除しますか？", "resume: delete question " + repr(box))
        ui.answer(pid, "no")
        check(ui.wait_exit(pid) == 0, "resume: the program ends")
    except UiAutoError:
        ui.kill(pid)
        raise
    with open(temp, "rb") as f:
        check(f.read(11) == b"Dorimel:500", "resume: the kept file starts with its state")
    before = len(server.requests())
    pid = ui.start(args.dorimel, windows_path(temp), "-ac", "1")
    try:
        check(ui.wait_exit(pid, timeout_ms=300000) == 0, "resume: the resumed program ends")
    except UiAutoError:
        ui.kill(pid)
        raise
    requests = server.requests()[before:]
    check(any("\r\nRange: bytes=" in r for r in requests), "resume: the resumed request carries a range")
    target = os.path.join(out, "kept.bin")
    with open(target, "rb") as f:
        check(f.read() == data, "resume: the finished file is identical")
    check(not os.path.exists(temp), "resume: the temporary file is gone")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=("sizes", "split", "window", "resume"))
    parser.add_argument("--dorimel", required=True)
    parser.add_argument("--uiauto", required=True)
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()
    if not (os.path.exists(args.dorimel) and os.path.exists(args.uiauto)):
        print("Windows programs not built: skipped")
        return 77
    ui = UiAuto(args.uiauto)
    work = tempfile.mkdtemp(prefix="dorimel-wine-engine-")
    www = os.path.join(work, "www")
    os.makedirs(www)
    record = os.path.join(work, "record")
    os.makedirs(record)
    server = FaultServer(www, record)
    try:
        {"sizes": run_sizes, "split": run_split, "window": run_window, "resume": run_resume}[args.group](ui, args, work, server, www)
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
