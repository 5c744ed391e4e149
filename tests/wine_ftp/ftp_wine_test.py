#!/usr/bin/env python3
"""FTP downloads of the real dorimel.exe under Wine, against vsftpd
(anonymous) and pyftpdlib (user and password) on 127.0.0.1:

  sizes   anonymous and user/password downloads of 1, 100001 and 50 MiB bytes,
          byte-identical; the password never shows in the log
  split   a split download over FTP, byte-identical, session 1 starting with
          "REST" at the middle
  finish  with -sl 1 the speed limit goes off when the server reports the end
          of the transfer only when MainOptions/IsAutoCancalFtpSpeedLimit is
          set; the finished window focuses its close-when-finished check box
  resume  a stop and a resume through the toolbar continue with "REST <n>";
          then a download closed with its temporary file kept continues from
          that file named on the command line, again through "REST <n>"

Driven through tests/win/uiauto.exe and tests/wine_window/window_probe.exe;
the product carries no test hooks. A missing vsftpd, pyftpdlib or program
fails the test (77, skipped, only with DORIMEL_ALLOW_SKIP=1).
"""
import argparse
import filecmp
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "win"))
from uiauto import UiAuto, UiAutoError, missing_setup, unescape, windows_path  # noqa: E402

WINE_RUN = os.path.join(HERE, "..", "win", "wine_run.sh")
USER_SERVER = os.path.join(HERE, "..", "servers", "ftp_user_server.py")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_port(port, timeout_s=10):
    deadline = time.time() + timeout_s
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class Vsftpd:
    def __init__(self, root, work, max_rate=0):
        self.root = root
        self.port = free_port()
        low = 40000 + (os.getpid() * 7 + self.port) % 20000
        conf = os.path.join(work, "vsftpd-%d.conf" % self.port)
        with open(conf, "w") as f:
            f.write("listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=%d\n"
                    "background=NO\nrun_as_launching_user=YES\nanonymous_enable=YES\n"
                    "no_anon_password=NO\nanon_root=%s\nlocal_enable=NO\nwrite_enable=NO\n"
                    "pasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=%d\npasv_max_port=%d\n"
                    "connect_from_port_20=NO\nseccomp_sandbox=NO\nxferlog_enable=NO\n"
                    "vsftpd_log_file=%s/vsftpd.log\nmax_per_ip=0\nmax_clients=0\nanon_max_rate=%d\n"
                    % (self.port, root, low, low + 200, work, max_rate))
        self.process = subprocess.Popen(["/usr/sbin/vsftpd", conf], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        if not wait_port(self.port):
            raise RuntimeError("vsftpd did not start")

    def url(self, name):
        return "ftp://127.0.0.1:%d%s/%s" % (self.port, self.root, name)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class UserFtp:
    def __init__(self, python, root, user, password):
        self.port = free_port()
        self.process = subprocess.Popen([python, USER_SERVER, root, str(self.port), user, password],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if self.process.stdout.readline().strip() != b"READY" or not wait_port(self.port):
            raise RuntimeError("pyftpdlib did not start")

    def url(self, user_info, name):
        return "ftp://%s@127.0.0.1:%d/%s" % (user_info, self.port, name)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class Probe:
    def __init__(self, exe):
        self.exe = exe

    def call(self, *args, timeout_ms=20000):
        command = [WINE_RUN, self.exe] + [str(a) for a in args] + ["--timeout", str(timeout_ms)]
        with tempfile.TemporaryFile() as out:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                                  timeout=timeout_ms / 1000 + 60)
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
        if done.returncode != 0:
            raise UiAutoError("probe %s failed" % " ".join(map(str, args)))
        return text

    def child(self, hwnd, control_id):
        return self.call("child", "--hwnd", hwnd, "--id", control_id).split("\t")[1].strip()


def log_rows(ui, hwnd, session=0):
    rows = []
    try:
        text = ui.call("listview", "--hwnd", hwnd, "--id", 100 + session)
    except UiAutoError as error:
        print("windows: %r" % ui.call("windows", check=False), flush=True)
        raise error
    for line in text.splitlines():
        f = line.split("\t")
        if f[0] == "row":
            rows.append(unescape(f[3]) if len(f) > 3 else "")
    return rows


def rest_offsets(rows):
    return [int(r[5:]) for r in rows if r.startswith("REST ") and r[5:].isdigit()]


def make_file(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            f.write(os.urandom(n))
            left -= n


def same(a, b):
    return os.path.exists(a) and os.path.exists(b) and filecmp.cmp(a, b, shallow=False)


def download(ui, dorimel, url, out, extra=()):
    """Runs one download that closes its window at the end; its exit code.
    (The close-at-end state is saved in the options file: the other cases
    give "-ac 0" to keep their windows open for reading the log.)"""
    run = ui.run(dorimel, url, "-td", windows_path(out), "-nd", "1", "-ac", "1", *extra)
    try:
        return run.wait_exit(timeout_ms=240000)
    except UiAutoError:
        ui.kill(run.pid)
        raise
    finally:
        run.close()


def wait_for(condition, timeout_s):
    deadline = time.time() + timeout_s
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return False


def sizes_group(ui, dorimel, ftp_python, www, out, work):
    sizes = [1, 100001, 50 * 1024 * 1024]
    for size in sizes:
        make_file(os.path.join(www, "f%d.bin" % size), size)
    anonymous = Vsftpd(www, work)
    user = UserFtp(ftp_python, www, "alice", "Wonder-1")
    try:
        for size in sizes:
            name = "f%d.bin" % size
            print("case: anonymous %d bytes" % size, flush=True)
            check(download(ui, dorimel, anonymous.url(name), out) == 0, "exit code")
            check(same(os.path.join(out, name), os.path.join(www, name)), "anonymous %d bytes identical" % size)
            os.remove(os.path.join(out, name))
            print("case: user and password %d bytes" % size, flush=True)
            check(download(ui, dorimel, user.url("alice:Wonder-1", name), out) == 0, "exit code")
            check(same(os.path.join(out, name), os.path.join(www, name)), "user %d bytes identical" % size)
            os.remove(os.path.join(out, name))
    finally:
        anonymous.stop()
        user.stop()


def split_group(ui, probe, dorimel, www, out, work):
    size = 3000000
    make_file(os.path.join(www, "s.bin"), size)
    server = Vsftpd(www, work, max_rate=1500000)
    try:
        print("case: split download", flush=True)
        run = ui.run(dorimel, server.url("s.bin"), "-td", windows_path(out), "-nd", "1", "-ac", "0", "-sp", "1")
        pid = run.pid
        try:
            hwnd = ui.wait_window(pid=pid, cls="#32770", timeout_ms=60000)["hwnd"]
            done = wait_for(lambda: os.path.exists(os.path.join(out, "s.bin")), 120)
            check(done, "split download finished")
            rows1 = log_rows(ui, hwnd, 1)
            check(size // 2 in rest_offsets(rows1), "session 1 starts at the middle: %r" % rows1[:20])
            ui.close(hwnd)
            check(run.wait_exit(timeout_ms=60000) == 0, "split: exit code after closing the window")
        except UiAutoError:
            ui.kill(pid)
            raise
        finally:
            run.close()
        check(same(os.path.join(out, "s.bin"), os.path.join(www, "s.bin")), "split download identical")
    finally:
        server.stop()


def answer_close_questions(ui, pid, delete):
    """Answers the questions of closing a running download: cancel yes, then
    delete the temporary file (delete) or keep it."""
    for _ in range(3):
        try:
            box = ui.msgbox(pid, timeout_ms=15000)
        except UiAutoError:
            return
        if "削除" in box.get("text", ""):
            ui.answer(pid, "yes" if delete else "no")
            return
        ui.answer(pid, "yes")


def resume_group(ui, probe, dorimel, www, out, work):
    size = 4000000
    make_file(os.path.join(www, "r.bin"), size)
    make_file(os.path.join(www, "k.bin"), size)
    server = Vsftpd(www, work, max_rate=1000000)
    try:
        print("case: stop and resume", flush=True)
        temp = os.path.join(out, "r.bin.dorimelt")
        run = ui.run(dorimel, server.url("r.bin"), "-td", windows_path(out), "-nd", "1", "-ac", "0")
        pid = run.pid
        try:
            hwnd = ui.wait_window(pid=pid, cls="#32770", timeout_ms=60000)["hwnd"]
            toolbar = probe.child(probe.child(hwnd, 1027), 111)
            check(wait_for(lambda: os.path.exists(temp) and os.path.getsize(temp) > 512000 + 500000, 60),
                  "data arrives")
            probe.call("toolbar-click", "--hwnd", toolbar, "--id", 401)
            check(wait_for(lambda: "停止しました" in log_rows(ui, hwnd), 30), "stopped")
            probe.call("toolbar-click", "--hwnd", toolbar, "--id", 400)
            check(wait_for(lambda: os.path.exists(os.path.join(out, "r.bin")), 120), "resumed download finished")
            offsets = rest_offsets(log_rows(ui, hwnd))
            check(any(o > 400000 for o in offsets), "resumed through REST: %r" % offsets)
            ui.close(hwnd)
            check(run.wait_exit(timeout_ms=60000) == 0, "stop and resume: exit code after closing the window")
        except UiAutoError:
            ui.kill(pid)
            raise
        finally:
            run.close()
        check(same(os.path.join(out, "r.bin"), os.path.join(www, "r.bin")), "stopped and resumed identical")

        print("case: kept temporary file named on the command line", flush=True)
        temp = os.path.join(out, "k.bin.dorimelt")
        run = ui.run(dorimel, server.url("k.bin"), "-td", windows_path(out), "-nd", "1")
        pid = run.pid
        try:
            hwnd = ui.wait_window(pid=pid, cls="#32770", timeout_ms=60000)["hwnd"]
            check(wait_for(lambda: os.path.exists(temp) and os.path.getsize(temp) > 512000 + 500000, 60),
                  "data arrives")
            ui.close(hwnd)
            answer_close_questions(ui, pid, delete=False)
            check(run.wait_exit(timeout_ms=60000) == 0, "kept temporary file: exit code after closing the window")
        except UiAutoError:
            ui.kill(pid)
            raise
        finally:
            run.close()
        check(os.path.exists(temp), "temporary file kept")
        run = ui.run(dorimel, windows_path(temp), "-ac", "0")
        pid = run.pid
        try:
            hwnd = ui.wait_window(pid=pid, cls="#32770", timeout_ms=60000)["hwnd"]
            check(wait_for(lambda: os.path.exists(os.path.join(out, "k.bin")), 120), "kept download finished")
            offsets = rest_offsets(log_rows(ui, hwnd))
            check(any(o > 400000 for o in offsets), "continued through REST: %r" % offsets)
            ui.close(hwnd)
            check(run.wait_exit(timeout_ms=60000) == 0, "resumed from the kept file: exit code after closing the window")
        except UiAutoError:
            ui.kill(pid)
            raise
        finally:
            run.close()
        check(same(os.path.join(out, "k.bin"), os.path.join(www, "k.bin")), "resumed from the file identical")
        check(not os.path.exists(temp), "temporary file gone")
    finally:
        server.stop()


def option_menu(ui, probe, hwnd, pid):
    """The option menu of the download window, read from the screen and
    closed again: list of (checked, grey) per item."""
    ui.call("command", "--hwnd", probe.child(hwnd, 1027), "--id", 403)
    items = []
    for line in probe.call("popup-state", "--pid", pid).splitlines():
        f = line.split("\t")
        if f[0] == "item":
            items.append((f[1] == "checked=1", f[2] == "grey=1"))
    probe.call("popup-key", "--pid", pid, "--vk", 27)
    return items


def finish_group(ui, probe, dorimel, www, out, work):
    """-sl 1 -ss 1 with MainOptions/IsAutoCancalFtpSpeedLimit 0 and 1: the
    limit stays on through the end, or goes off when the server reports the
    end of its transfer (the option menu shows which). A finished window that
    stays open has the focus on its close-when-finished check box."""
    server = Vsftpd(www, work)
    try:
        for auto_cancel, size in ((0, 2000), (1, 32768)):
            what = "IsAutoCancalFtpSpeedLimit=%d" % auto_cancel
            print("case: " + what, flush=True)
            name = "a%d.bin" % auto_cancel
            make_file(os.path.join(www, name), size)
            folder = os.path.join(work, "program%d" % auto_cancel)
            os.makedirs(folder)
            program = os.path.join(folder, "dorimel.exe")
            shutil.copy(dorimel, program)
            with open(os.path.join(folder, "dorimel.ini"), "w") as f:
                f.write("[MainOptions]\r\nIsAutoCancalFtpSpeedLimit=%d\r\n" % auto_cancel)
            pid = ui.run(program, server.url(name), "-td", windows_path(out), "-nd", "1", "-ac", "0",
                         "-sl", "1", "-ss", "1").pid
            try:
                # Limited all the way, 32768 bytes at 1 K/s would take half a minute.
                hwnd = ui.wait_window(pid=pid, title="ダウンロードの完了", timeout_ms=240000)["hwnd"]
                check(same(os.path.join(out, name), os.path.join(www, name)), "%s: identical" % what)
                check("サーバのデータ転送が完了しました" in log_rows(ui, hwnd), "%s: transfer end row" % what)
                focus = ui.call("focus", "--hwnd", hwnd).strip().split("\t")
                check(focus[1] == "1019", "%s: focus on %r, not on the check box 1019" % (what, focus[1:]))
                menu = option_menu(ui, probe, hwnd, pid)
                check(menu[:1] == [(auto_cancel == 0, False)], "%s: option menu %r" % (what, menu))
                ui.close(hwnd)
                check(ui.wait_exit(pid, timeout_ms=60000) == 0, "%s: exit code after closing the window" % what)
            except UiAutoError:
                ui.kill(pid)
                raise
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=["sizes", "split", "resume", "finish"])
    parser.add_argument("--dorimel", required=True)
    parser.add_argument("--uiauto", required=True)
    parser.add_argument("--probe", required=True)
    # The interpreter the build found with pyftpdlib.
    parser.add_argument("--ftp-python", default="/usr/bin/python3")
    args = parser.parse_args()
    servers = [] if subprocess.run([args.ftp_python, "-c", "import pyftpdlib"],
                                   stderr=subprocess.DEVNULL).returncode == 0 else ["pyftpdlib"]
    missing = missing_setup([args.dorimel, args.uiauto, args.probe, "/usr/sbin/vsftpd"], others=servers)
    if missing is not None:
        return missing
    ui = UiAuto(args.uiauto)
    probe = Probe(args.probe)
    work = tempfile.mkdtemp(prefix="dorimel-wine-ftp-")
    try:
        www, out = os.path.join(work, "www"), os.path.join(work, "out")
        os.makedirs(www)
        os.makedirs(out)
        if args.group == "sizes":
            sizes_group(ui, args.dorimel, args.ftp_python, www, out, work)
        elif args.group == "finish":
            finish_group(ui, probe, args.dorimel, www, out, work)
        elif args.group == "split":
            split_group(ui, probe, args.dorimel, www, out, work)
        else:
            resume_group(ui, probe, args.dorimel, www, out, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
