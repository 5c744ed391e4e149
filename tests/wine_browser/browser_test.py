#!/usr/bin/env python3
"""The browser integration under Wine: DorimelDLM.dll registered by regsvr32
and loaded by a COM test host, DorimelServer.exe's settings dialog and its
automation launcher reached from VBScript, and setupstart.exe. Registry values
are read with Wine's reg tool, windows and message boxes with the UI automation
tool, and the command lines of started programs by the test host.

usage: browser_test.py GROUP --win64 TREE --work FOLDER
GROUP: module gate com handoff settings automation starter
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win"))
from uiauto import WINE_RUN, UiAuto, UiAutoError, missing_setup, windows_path  # noqa: E402

MODULE_CLSID = "{DC68ED65-D980-406A-8EF4-267CE329DCFC}"
LAUNCHER_CLSID = "{92EB855D-5C86-4990-A07F-54AF58718DA3}"
OTHER_CLSID = "{0B5C4C2E-7A51-4D0A-9C55-3E1F00000001}"
IE_KEY = r"HKCU\Software\Microsoft\Internet Explorer"
MODULE_KEY = "HKCR\\CLSID\\" + MODULE_CLSID
HELPER_KEY = ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\"
              "Browser Helper Objects\\" + MODULE_CLSID)
LAUNCHER_PROGID_KEY = r"HKCR\DorimelServer.Launcher"
LAUNCHER_KEY = "HKCR\\CLSID\\" + LAUNCHER_CLSID
MENU_KEY = IE_KEY + "\\MenuExt\\Dorimel でタウンロード(&L)"
OTHER_KEY = "HKCR\\CLSID\\" + OTHER_CLSID
S_OK = "0x00000000"
E_FAIL = "0x80004005"
SETTINGS_TITLE = "Dorimel インストール"

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return condition


def check_equal(actual, expected, what):
    return check(actual == expected, "%s: expected %r, got %r" % (what, expected, actual))


# ---------------------------------------------------------------- Wine helpers

def wine(*args, timeout=120):
    """Runs a Windows program to its end; (exit code, output). The output goes
    through a file: programs it starts may keep a pipe open long after it ends."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run([WINE_RUN] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.DEVNULL, timeout=timeout).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", "replace")


def reg(*args):
    with tempfile.TemporaryFile() as out:
        code = subprocess.run([WINE_RUN, "reg"] + list(args), stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.DEVNULL, timeout=120).returncode
        out.seek(0)
        # reg writes in the console's code page (932 under the Japanese locale).
        return code, out.read().decode("cp932", "replace")


def reg_exists(key):
    return reg("query", key)[0] == 0


def reg_value(key, name=None):
    """The data of a value as reg prints it (None when missing); name None is the default value."""
    code, out = reg("query", key, *(["/v", name] if name else ["/ve"]))
    if code != 0:
        return None
    for line in out.splitlines():
        match = re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line)
        if match:
            return match.group(3).rstrip()
    return None


def reg_set(key, name, data, kind="REG_SZ"):
    reg("add", key, *(["/v", name] if name else ["/ve"]), "/t", kind, "/d", data, "/f")


def reg_delete(key, name=None):
    reg("delete", key, *(["/v", name] if name else []), "/f")


def clean_registry():
    reg_delete(IE_KEY, "DownloadUI")
    for key in (MODULE_KEY, HELPER_KEY, LAUNCHER_PROGID_KEY, LAUNCHER_KEY, MENU_KEY, OTHER_KEY):
        reg_delete(key)


# ------------------------------------------------------------- settings file

def struct_text(name):
    """A name as WritePrivateProfileStruct stores a 260-byte block: hex bytes, then a checksum."""
    block = name.encode("cp932").ljust(260, b"\0")
    return "".join("%02X" % b for b in block) + "%02X" % (sum(block) & 0xFF)


def write_ini(path, entries):
    text = "[Main]\r\n" + "".join("%s=%s\r\n" % (k, v) for k, v in entries)
    with open(path, "wb") as f:
        f.write(text.encode("cp932"))


def read_ini(path):
    """Section Main as a dict with lower-case keys."""
    values = {}
    if not os.path.exists(path):
        return values
    with open(path, "rb") as f:
        text = f.read().decode("cp932")
    section = None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line[1:-1].lower()
        elif section == "main" and "=" in line:
            key, _, value = line.partition("=")
            values[key.strip().lower()] = value.strip()
    return values


# -------------------------------------------------------------- environment

class Env:
    def __init__(self, args):
        tree = args.win64
        self.dll = os.path.join(tree, "browser_module", "DorimelDLM.dll")
        self.server = os.path.join(tree, "settings_app", "DorimelServer.exe")
        self.starter = os.path.join(tree, "setup_starter", "setupstart.exe")
        self.host = os.path.join(tree, "tests", "win_hosts", "dlm_host.exe")
        self.dorimel = os.path.join(tree, "app", "dorimel.exe")
        self.script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                   "DorimelIEScript.htm")
        self.work = args.work
        self.artifacts = os.path.join(args.work, "artifacts")
        self.ui = UiAuto(os.path.join(tree, "tests", "win", "uiauto.exe"))
        os.makedirs(self.artifacts, exist_ok=True)

    def folder(self, name, dll=True, server=False, starter=False, dorimel=True, script=True,
               host=False):
        """A fresh install folder holding the chosen files."""
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        for wanted, source in ((dll, self.dll), (server, self.server), (starter, self.starter),
                               (dorimel and os.path.exists(self.dorimel), self.dorimel),
                               (script, self.script), (host, self.host)):
            if wanted:
                shutil.copy(source, path)
        return path

    def screenshot(self, hwnd, name):
        path = os.path.join(self.artifacts, name)
        self.ui.call("screenshot", "--hwnd", hwnd, windows_path(path))
        print("screenshot: " + path, flush=True)


class HostRun:
    """dlm_host.exe running in the background; its first line names its pid."""

    def __init__(self, env, exe, *args):
        self.out = tempfile.TemporaryFile()
        self.process = subprocess.Popen([WINE_RUN, exe] + [str(a) for a in args],
                                        stdin=subprocess.DEVNULL, stdout=self.out,
                                        stderr=subprocess.DEVNULL)
        self.pid = None
        deadline = time.monotonic() + 60
        while self.pid is None and time.monotonic() < deadline:
            match = re.match(rb"pid (\d+)", self._read())
            if match:
                self.pid = int(match.group(1))
            elif self.process.poll() is not None:
                break
            else:
                time.sleep(0.05)  # the file has no change notification to wait on

    def _read(self):
        self.out.seek(0)
        return self.out.read()

    def finish(self, timeout=60):
        """(exit code, output lines after the pid line)."""
        code = self.process.wait(timeout=timeout)
        lines = self._read().decode("utf-8", "replace").splitlines()
        return code, [line for line in lines if not line.startswith("pid ")]


def host_output(env, exe, *args):
    code, out = wine(exe, *args)
    return code, [line for line in out.splitlines() if not line.startswith("pid ")]


def started_command_lines(env, exe_name, folder, wait_ms=60000):
    """(pid, command line) of the processes named exe_name started from folder."""
    code, lines = host_output(env, env.host, "cmdline", exe_name, wait_ms)
    found = []
    for line in lines:
        fields = line.split("\t")
        if fields[0] == "process" and (windows_path(folder) + "\\").lower() in fields[2].lower():
            found.append((int(fields[1]), fields[2]))
    return found


def kill_started(env, exe_name, folder):
    for pid, _ in started_command_lines(env, exe_name, folder, 0):
        env.ui.kill(pid)


def wait_gone(env, exe_name, folder, seconds=240):
    """Whether every process named exe_name started from folder ends within
    seconds. Each is awaited through its own end (uiauto wait-exit), so a slow,
    loaded machine makes the answer later, not wrong."""
    deadline = time.monotonic() + seconds
    while True:
        running = started_command_lines(env, exe_name, folder, 0)
        left = deadline - time.monotonic()
        if not running or left <= 0:
            return not running
        for pid, _ in running:
            try:
                env.ui.call("wait-exit", "--pid", pid, timeout_ms=max(1000, int(left * 1000)))
            except UiAutoError:
                pass  # already gone, or still there at the deadline: the next listing tells


def regsvr32(env, dll, unregister=False):
    """regsvr32 started through the UI tool, so that its boxes can be answered."""
    args = ["/s"] + (["/u"] if unregister else []) + [windows_path(dll)]
    return env.ui.run(r"C:\windows\system32\regsvr32.exe", *args).pid


# ----------------------------------------------------------------- groups

def group_module(env):
    folder = env.folder("module")
    dll = os.path.join(folder, "DorimelDLM.dll")
    ini = os.path.join(folder, "DorimelDLM.ini")
    clean_registry()

    # Fresh registration: no DownloadUI, so no question.
    pid = regsvr32(env, dll)
    check_equal(env.ui.wait_exit(pid), 0, "regsvr32 exit code")
    check_equal(reg_value(IE_KEY, "DownloadUI"), MODULE_CLSID, "DownloadUI after registering")
    check_equal(reg_value(MODULE_KEY), "&DorimelDLManager", "class name")
    check_equal(reg_value(MODULE_KEY + "\\InprocServer32"), windows_path(dll), "server path")
    check_equal(reg_value(MODULE_KEY + "\\InprocServer32", "ThreadingModel"), "Apartment",
                "threading model")
    check(reg_exists(HELPER_KEY), "Browser Helper Object key after registering")
    check_equal(read_ini(ini).get("prevdownloadui"), "", "PrevDownloadUI written empty")

    # Registering again over our own value keeps the value saved the first time.
    write_ini(ini, [("PrevDownloadUI", OTHER_CLSID)])
    pid = regsvr32(env, dll)
    check_equal(env.ui.wait_exit(pid), 0, "second registration")
    check_equal(read_ini(ini).get("prevdownloadui"), OTHER_CLSID,
                "PrevDownloadUI not replaced by the module's own class")
    write_ini(ini, [("PrevDownloadUI", "")])

    # Unregistering with an empty saved value deletes DownloadUI without a question.
    pid = regsvr32(env, dll, unregister=True)
    check_equal(env.ui.wait_exit(pid), 0, "unregistration exit code")
    check_equal(reg_value(IE_KEY, "DownloadUI"), None, "DownloadUI deleted")
    check(not reg_exists(MODULE_KEY), "class key removed")
    check(not reg_exists(HELPER_KEY), "Browser Helper Object key removed")

    # Unregistering while DownloadUI names another class leaves it alone.
    reg_set(IE_KEY, "DownloadUI", OTHER_CLSID)
    pid = regsvr32(env, dll, unregister=True)
    check_equal(env.ui.wait_exit(pid), 0, "unregistration beside another manager")
    check_equal(reg_value(IE_KEY, "DownloadUI"), OTHER_CLSID, "other manager left alone")

    # Another class without a server file is overwritten without a question.
    pid = regsvr32(env, dll)
    check_equal(env.ui.wait_exit(pid), 0, "registration over a class without server")
    check_equal(reg_value(IE_KEY, "DownloadUI"), MODULE_CLSID, "DownloadUI overwritten")
    check_equal(read_ini(ini).get("prevdownloadui"), OTHER_CLSID, "replaced class saved")

    # Unregistering offers to write the saved value back: Yes restores it.
    pid = regsvr32(env, dll, unregister=True)
    box = env.ui.msgbox(pid)
    check_equal(box.get("caption"), "DorimelDLM アンインストール", "restore question caption")
    check_equal(box.get("icon"), "question", "restore question icon")
    check_equal(box.get("text", "").rstrip("\r\n"),
                IE_KEY.replace("HKCU", "HKEY_CURRENT_USER") +
                "\\DownloadUI に上書きしたときの値を書き込みますか？", "restore question text")
    check_equal(box.get("buttons"), "Yes,No", "restore question buttons")
    env.ui.answer(pid, "yes")
    check_equal(env.ui.wait_exit(pid), 0, "unregistration with restore")
    check_equal(reg_value(IE_KEY, "DownloadUI"), OTHER_CLSID, "saved value written back")

    # A DownloadUI naming an installed class: the overwrite question.
    reg_set(OTHER_KEY + "\\InprocServer32", None, r"C:\windows\system32\other.dll")
    pid = regsvr32(env, dll)
    box = env.ui.msgbox(pid)
    expected = (IE_KEY.replace("HKCU", "HKEY_CURRENT_USER") +
                "\\DownloadUI にすでに以下のエントリーが登録されています。\n\nCLSID = " +
                OTHER_CLSID + "\nFILE = C:\\windows\\system32\\other.dll\n\n上書きしますか？")
    check_equal(box.get("caption"), "DorimelDLM インストール", "overwrite question caption")
    check_equal(box.get("icon"), "question", "overwrite question icon")
    check_equal(box.get("text", "").replace("\r\n", "\n"), expected, "overwrite question text")
    check_equal(box.get("buttons"), "Yes,No", "overwrite question buttons")
    for window in env.ui.windows(pid):
        env.screenshot(window["hwnd"], "overwrite_question.bmp")
    env.ui.answer(pid, "no")
    check(env.ui.wait_exit(pid) != 0, "declined overwrite makes registration fail (E_FAIL)")
    check_equal(reg_value(IE_KEY, "DownloadUI"), OTHER_CLSID, "declined: DownloadUI unchanged")
    check(reg_exists(MODULE_KEY + "\\InprocServer32"), "declined: class key written")
    check(reg_exists(HELPER_KEY), "declined: Browser Helper Object key written")

    pid = regsvr32(env, dll)
    env.ui.msgbox(pid)
    env.ui.answer(pid, "yes")
    check_equal(env.ui.wait_exit(pid), 0, "accepted overwrite")
    check_equal(reg_value(IE_KEY, "DownloadUI"), MODULE_CLSID, "accepted: DownloadUI ours")

    # No to the restore question deletes the value.
    pid = regsvr32(env, dll, unregister=True)
    env.ui.msgbox(pid)
    env.ui.answer(pid, "no")
    check_equal(env.ui.wait_exit(pid), 0, "unregistration without restore")
    check_equal(reg_value(IE_KEY, "DownloadUI"), None, "DownloadUI deleted on No")
    clean_registry()


def group_gate(env):
    folder = env.folder("gate")
    dll = windows_path(os.path.join(folder, "DorimelDLM.dll"))
    ini = os.path.join(folder, "DorimelDLM.ini")
    host = os.path.join(folder, "Gate_Host.EXE")
    shutil.copy(env.host, host)
    cases = [
        (None, "refused"),
        ("*", "loaded"),
        ("*nothing.exe;", "loaded"),
        ("gate_host.exe;", "loaded"),
        ("other.exe;;GATE_HOST.EXE", "loaded"),
        ("other.exe; gate_host.exe;", "refused"),  # pieces are not trimmed
        ("other.exe;", "refused"),
        ("", "refused"),
    ]
    for allow, expected in cases:
        if allow is None:
            if os.path.exists(ini):
                os.remove(ini)
        else:
            write_ini(ini, [("AllowLoad", allow)])
        code, lines = host_output(env, host, "load", dll)
        check_equal(lines, [expected], "AllowLoad %r" % (allow,))
        check_equal(code, 0 if expected == "loaded" else 3, "exit code for AllowLoad %r" % (allow,))


def group_com(env):
    folder = env.folder("com")
    write_ini(os.path.join(folder, "DorimelDLM.ini"), [("AllowLoad", "*")])
    code, lines = host_output(env, env.host, "com-checks",
                              windows_path(os.path.join(folder, "DorimelDLM.dll")))
    expected = [
        "wrong_class 0x80040111", "wrong_class_out null", "can_unload_initial 0x00000000",
        "class_object 0x00000000", "can_unload_factory 0x00000001",
        "factory_other_interface 0x80004002", "lock_server 0x80004001",
        "aggregation 0x80040110", "create 0x00000000", "can_unload_object 0x00000001",
        "download_face 0x00000000", "identity same", "other_interface 0x80004002",
        "get_site 0x80004005", "get_site_out null", "set_site_null 0x00000000",
        "set_site_without_provider 0x80004005", "set_site_browser 0x00000000",
        "can_unload_after 0x00000000",
    ]
    check_equal(code, 0, "com-checks exit code")
    check_equal(lines, expected, "class object and object behaviour")


def download(env, url, *options):
    """Runs a Download through COM; the result line and the host's run."""
    run = HostRun(env, env.host, "download", url, *options)
    return run


def group_handoff(env):
    folder = env.folder("handoff")
    dll = os.path.join(folder, "DorimelDLM.dll")
    ini = os.path.join(folder, "DorimelDLM.ini")
    exe = '"%s" ' % windows_path(os.path.join(folder, "dorimel.exe"))
    clean_registry()
    pid = regsvr32(env, dll)
    check_equal(env.ui.wait_exit(pid), 0, "registration for the hand-off")
    page = "http://127.0.0.1/page.html"

    def run_case(name, settings, url, options, result, command_line):
        write_ini(ini, [("AllowLoad", "*")] + settings)
        code, lines = HostRun(env, env.host, "download", url, *options).finish()
        check_equal(code, 0, name + ": host exit code")
        check_equal(lines[-1:], ["result " + result], name + ": Download result")
        started = started_command_lines(env, "dorimel.exe", folder, 60000 if command_line else 0)
        if command_line is None:
            check_equal(started, [], name + ": dorimel.exe not started")
        else:
            check_equal([c for _, c in started], [exe + command_line], name + ": command line")
        return started

    released = [("DlIfReleased", "1")]
    # The whole road: dorimel.exe shows the URL and the page as referer.
    started = run_case("key condition met", released, "http://127.0.0.1/a.zip",
                       ["--site", page], S_OK, "http://127.0.0.1/a.zip -rf " + page)
    if started:
        dialog = env.ui.wait_window(pid=started[0][0], title="新規ダウンロード")
        fields = {c["id"]: c["text"] for c in env.ui.dump(dialog["hwnd"])}
        check_equal(fields.get(1000), "http://127.0.0.1/a.zip", "new-download dialog URL")
        check_equal(fields.get(1001), page, "new-download dialog referer")
    kill_started(env, "dorimel.exe", folder)

    run_case("defaults: right button not held", [], "http://127.0.0.1/a.zip", ["--site", page],
             E_FAIL, None)
    run_case("held key with take-over while held", [("SpecialVKey", "16")],
             "ftp://127.0.0.1/f.bin", ["--press", "16"], S_OK, "ftp://127.0.0.1/f.bin")
    kill_started(env, "dorimel.exe", folder)
    run_case("held key with take-over while released",
             [("SpecialVKey", "16"), ("DlIfReleased", "1")], "http://127.0.0.1/a.zip",
             ["--press", "16"], E_FAIL, None)
    # A browser's moniker may keep the text as typed: the scheme in capitals
    # is taken over and passed unchanged; blanks cannot split it into options.
    run_case("scheme in capitals", released, "HTTP://127.0.0.1/A.ZIP", ["--literal-moniker"],
             S_OK, "HTTP://127.0.0.1/A.ZIP")
    kill_started(env, "dorimel.exe", folder)
    run_case("URL with blanks and options", released, "http://127.0.0.1/a b -td C:\\ -nd 1",
             ["--literal-moniker", "--site", page], S_OK,
             "http://127.0.0.1/a%20b%20-td%20C:\\%20-nd%201 -rf " + page)
    kill_started(env, "dorimel.exe", folder)
    run_case("https", released, "https://127.0.0.1/a.zip", [], E_FAIL, None)
    run_case("secure scheme in capitals", released, "HTTPS://127.0.0.1/a.zip",
             ["--literal-moniker"], E_FAIL, None)
    run_case("file URL", released, "file:///C:/windows/win.ini", [], E_FAIL, None)
    # EnableHttps=1 in the module's settings: https links go to dorimel.exe
    # (whose own options file turns https on) like http ones; 0 is the default.
    run_case("https with EnableHttps=0", released + [("EnableHttps", "0")], "https://127.0.0.1/a.zip",
             [], E_FAIL, None)
    with open(os.path.join(folder, "dorimel.ini"), "wb") as f:
        f.write(b"[MainOptions]\r\nEnableHttps=1\r\n")
    started = run_case("https with EnableHttps=1", released + [("EnableHttps", "1")],
                       "https://127.0.0.1/s.zip", ["--site", page], S_OK,
                       "https://127.0.0.1/s.zip -rf " + page)
    if started:
        dialog = env.ui.wait_window(pid=started[0][0], title="新規ダウンロード")
        fields = {c["id"]: c["text"] for c in env.ui.dump(dialog["hwnd"])}
        check_equal(fields.get(1000), "https://127.0.0.1/s.zip", "https: new-download dialog URL")
    kill_started(env, "dorimel.exe", folder)
    os.remove(os.path.join(folder, "dorimel.ini"))
    run_case("options in front", released + [("Options", "-sp 1 -to 30")],
             "http://127.0.0.1/b.zip", [], S_OK, "-sp 1 -to 30 http://127.0.0.1/b.zip")
    kill_started(env, "dorimel.exe", folder)
    run_case("thread without its own object", released, "http://127.0.0.1/c.zip",
             ["--site", page, "--other-thread"], S_OK, "http://127.0.0.1/c.zip")
    kill_started(env, "dorimel.exe", folder)
    run_case("site object already freed", released, "http://127.0.0.1/d.zip",
             ["--dropped-site-object", page], S_OK, "http://127.0.0.1/d.zip")
    kill_started(env, "dorimel.exe", folder)
    # Three browser windows on three threads: each download gets its own page.
    write_ini(ini, [("AllowLoad", "*")] + released)
    code, lines = HostRun(env, env.host, "download", "http://127.0.0.1/m.zip",
                          "--site", page, "--threads", 3).finish()
    check_equal(lines[-1:], ["result " + S_OK], "three threads: Download results")
    expected = sorted(exe + "http://127.0.0.1/m.zip?t=%d -rf %s?t=%d" % (i, page, i)
                      for i in range(3))
    deadline = time.monotonic() + 60
    started = []
    while time.monotonic() < deadline:
        started = sorted(c for _, c in started_command_lines(env, "dorimel.exe", folder))
        if len(started) >= 3:
            break
    check_equal(started, expected, "three threads: each with its own referer")
    kill_started(env, "dorimel.exe", folder)
    run_case("browser without an address", released, "http://127.0.0.1/e.zip",
             ["--site-without-address"], S_OK, "http://127.0.0.1/e.zip")
    kill_started(env, "dorimel.exe", folder)

    # dorimel.exe missing: one error box, then the browser downloads.
    os.remove(os.path.join(folder, "dorimel.exe"))
    write_ini(ini, [("AllowLoad", "*")] + released)
    run = HostRun(env, env.host, "download", "http://127.0.0.1/a.zip", "--site", page)
    box = env.ui.msgbox(run.pid)
    check_equal((box.get("caption"), box.get("icon"), box.get("text"), box.get("buttons")),
                ("DorimelDLM", "error", "Failed to execute Dormiel", "OK"), "missing dorimel.exe box")
    env.ui.answer(run.pid, "ok")
    code, lines = run.finish()
    check_equal(lines[-1:], ["result " + E_FAIL], "missing dorimel.exe: Download result")

    pid = regsvr32(env, dll, unregister=True)
    env.ui.wait_exit(pid)
    clean_registry()


def settings_dialog(env, server):
    pid = env.ui.run(server).pid
    window = env.ui.wait_window(pid=pid, title=SETTINGS_TITLE)
    return pid, window


def controls(env, window):
    return {c["id"]: c for c in env.ui.dump(window["hwnd"]) if c["id"] > 0}


def expect_box(env, pid, caption, icon, text, what):
    box = env.ui.msgbox(pid)
    check_equal((box.get("caption"), box.get("icon"), box.get("text")), (caption, icon, text), what)
    env.ui.answer(pid, "ok")


def group_settings(env):
    folder = env.folder("settings", server=True)
    server = os.path.join(folder, "DorimelServer.exe")
    ini = os.path.join(folder, "DorimelDLM.ini")
    clean_registry()

    # Partly installed: one of three marks each; the file's values shown.
    reg_set(LAUNCHER_PROGID_KEY, None, "DorimelServer.Launcher")
    reg_set(IE_KEY, "DownloadUI", MODULE_CLSID)
    write_ini(ini, [("DlIfReleased", "1"), ("AvailableApp", "1"), ("AppCount", "3"),
                    ("App_0", struct_text("a.exe")), ("App_1", struct_text("")),
                    ("App_2", struct_text("b.exe")), ("App_3", struct_text("c.exe")),
                    ("SpecialVKey", "17")])
    with open(ini, "rb") as f:
        before = f.read()
    pid, window = settings_dialog(env, server)
    c = controls(env, window)
    check_equal((c[1000]["check"], c[1001]["check"]), ("2", "2"), "partly installed: indeterminate")
    check_equal((c[1002]["check"], c[1003]["check"]), ("0", "1"), "take-over mode from the file")
    check_equal((c[1009]["check"], c[1010]["check"]), ("0", "1"), "application mode from the file")
    check_equal(c[1011]["text"], "a.exe\r\nb.exe\r\n", "application list (empty entry skipped)")
    check(c[1011]["enabled"], "names editable in mode 1")
    check_equal(c[1015]["text"], "Ctrl", "special key from the file")
    env.screenshot(window["hwnd"], "settings_dialog.bmp")
    env.ui.call("click", "--pid", pid, "--id", 1009)
    check(not controls(env, window)[1011]["enabled"], "all applications disables the names")
    env.ui.call("click", "--pid", pid, "--id", 1010)
    check(controls(env, window)[1011]["enabled"], "named applications enables the names")
    env.ui.call("click", "--pid", pid, "--id", 1000)  # changes nothing without OK
    env.ui.call("click", "--pid", pid, "--id", 2)
    check_equal(env.ui.wait_exit(pid), 0, "Cancel ends the program")
    with open(ini, "rb") as f:
        check(f.read() == before, "Cancel leaves the settings file as it was")
    check(reg_exists(LAUNCHER_PROGID_KEY) and not reg_exists(LAUNCHER_KEY) and
          not reg_exists(MENU_KEY) and not reg_exists(MODULE_KEY), "Cancel leaves the registry")

    # Nothing installed: install everything.
    clean_registry()
    os.remove(ini)
    pid, window = settings_dialog(env, server)
    c = controls(env, window)
    check_equal((c[1000]["check"], c[1001]["check"], c[1002]["check"], c[1009]["check"]),
                ("0", "0", "1", "1"), "nothing installed, defaults")
    check(not c[1011]["enabled"], "names disabled in mode 0")
    check_equal(c[1015]["text"], "RButton", "default special key")
    for control in (1000, 1001, 1010):
        env.ui.call("click", "--pid", pid, "--id", control)
    env.ui.call("settext", "--pid", pid, "--id", 1011, "a.exe\r\n\r\nB.EXE\r\n")
    env.ui.call("click", "--pid", pid, "--id", 1)
    expect_box(env, pid, "結果", "information",
               "インターネットエクスプローラーの右クリックメニューのインストールが成功しました。\r\n",
               "context-menu installed box")
    expect_box(env, pid, "DorimelServer", "information", "ダウンロードマネージャをインストールしました。",
               "module registered box")
    check_equal(env.ui.wait_exit(pid), 0, "OK ends the program")
    check_equal(reg_value(LAUNCHER_PROGID_KEY + "\\CLSID"), LAUNCHER_CLSID, "launcher ProgID")
    check_equal(reg_value(LAUNCHER_KEY + "\\LocalServer32"),
                '"%s" /Automation' % windows_path(server), "launcher local server")
    check_equal(reg_value(MENU_KEY), windows_path(os.path.join(folder, "DorimelIEScript.htm")),
                "context-menu script page")
    check_equal(reg_value(MENU_KEY, "Contexts"), "0x22", "context-menu contexts")
    check_equal(reg_value(IE_KEY, "DownloadUI"), MODULE_CLSID, "module registered")
    check(reg_exists(HELPER_KEY), "Browser Helper Object key")
    values = read_ini(ini)
    check_equal({k: values.get(k) for k in ("dlifreleased", "availableapp", "appcount",
                                            "allowload", "specialvkey", "app_0", "app_1", "app_2")},
                {"dlifreleased": "0", "availableapp": "1", "appcount": "2",
                 "allowload": "a.exe;B.EXE;", "specialvkey": "2", "app_0": struct_text("a.exe"),
                 "app_1": struct_text("B.EXE"), "app_2": None}, "settings file after OK")

    # Everything installed: shown ticked; untick both and remove.
    pid, window = settings_dialog(env, server)
    c = controls(env, window)
    check_equal((c[1000]["check"], c[1001]["check"]), ("1", "1"), "installed: ticked")
    check_equal(c[1011]["text"], "a.exe\r\nB.EXE\r\n", "names read back")
    env.ui.call("click", "--pid", pid, "--id", 1000)
    env.ui.call("click", "--pid", pid, "--id", 1001)
    env.ui.call("settext", "--pid", pid, "--id", 1011, "only.exe")
    env.ui.call("click", "--pid", pid, "--id", 1)
    expect_box(env, pid, "結果", "information", "右クリックメニューのアンインストールが成功しました。",
               "context-menu removed box")
    expect_box(env, pid, "DorimelServer", "information",
               "ダウンロードマネージャをアンインストールしました。", "module unregistered box")
    check_equal(env.ui.wait_exit(pid), 0, "OK ends the program")
    check(not any(reg_exists(k) for k in (LAUNCHER_PROGID_KEY, LAUNCHER_KEY, MENU_KEY,
                                           MODULE_KEY, HELPER_KEY)), "everything removed")
    check_equal(reg_value(IE_KEY, "DownloadUI"), None, "DownloadUI removed")
    values = read_ini(ini)
    check_equal((values.get("appcount"), values.get("app_0"), values.get("app_1")),
                ("1", struct_text("only.exe"), struct_text("B.EXE")),
                "fewer names: AppCount shrinks, older entries stay unread")

    # The module asks before replacing another download manager; No makes
    # its registration fail, which the settings program reports (message 104).
    reg_set(IE_KEY, "DownloadUI", OTHER_CLSID)
    reg_set(OTHER_KEY + "\\InprocServer32", None, r"C:\windows\system32\other.dll")
    pid, window = settings_dialog(env, server)
    check_equal(controls(env, window)[1001]["check"], "0", "another manager: not registered")
    env.ui.call("click", "--pid", pid, "--id", 1001)
    env.ui.call("click", "--pid", pid, "--id", 1)
    expect_box(env, pid, "結果", "information", "右クリックメニューのアンインストールが成功しました。",
               "context-menu removal when it was never installed")
    box = env.ui.msgbox(pid)
    check_equal(box.get("caption"), "DorimelDLM インストール", "module's question inside the settings program")
    env.ui.answer(pid, "no")
    expect_box(env, pid, "DorimelServer", "none",
               "ダウンロードマネージャーのインストールに失敗しました。\nこの操作をするための権限がない可能性があります。",
               "message 104")
    check_equal(env.ui.wait_exit(pid), 0, "OK ends the program")
    check_equal(reg_value(IE_KEY, "DownloadUI"), OTHER_CLSID, "declined: other manager kept")

    # Without the script page and the module: question, failure, message 102;
    # the settings file is written all the same.
    bare = env.folder("settings_bare", dll=False, server=True, script=False)
    bare_ini = os.path.join(bare, "DorimelDLM.ini")
    pid, window = settings_dialog(env, os.path.join(bare, "DorimelServer.exe"))
    env.ui.call("click", "--pid", pid, "--id", 1000)
    env.ui.call("settext", "--pid", pid, "--id", 1011, "x.exe")
    env.ui.call("click", "--pid", pid, "--id", 1)
    box = env.ui.msgbox(pid)
    check_equal((box.get("caption"), box.get("icon"), box.get("text"), box.get("buttons")),
                (SETTINGS_TITLE, "warning",
                 "DorimelIEScript.htm が見つかりません。\n\nインストールを続けますか？", "Yes,No"),
                "missing script page question")
    env.ui.answer(pid, "no")
    expect_box(env, pid, "結果", "warning",
               "インターネットエクスプローラーの右クリックメニューのインストールが失敗しました。\r\n",
               "context-menu failure box")
    expect_box(env, pid, "DorimelServer", "none", "DorimelDLM.dllが見つかりません。", "message 102")
    check_equal(env.ui.wait_exit(pid), 0, "OK ends the program")
    values = read_ini(bare_ini)
    check_equal((values.get("allowload"), values.get("appcount"), values.get("app_0")),
                ("*", "1", struct_text("x.exe")), "all applications: names kept, AllowLoad *")
    check(not reg_exists(MENU_KEY), "declined: no context-menu entry")
    clean_registry()


def group_automation(env):
    folder = env.folder("automation", dll=False, server=True)
    server = os.path.join(folder, "DorimelServer.exe")
    exe = '"%s" ' % windows_path(os.path.join(folder, "Dorimel.exe"))
    clean_registry()
    code, _ = wine(server, "-regserver")
    check_equal(code, 0, "-regserver exit code")
    check(reg_exists(LAUNCHER_PROGID_KEY) and reg_exists(LAUNCHER_KEY), "class registered")

    scripts = [
        ("direct strings",
         'Set o = CreateObject("DorimelServer.Launcher")\r\n'
         'o.yaru "http://127.0.0.1/v.zip", "http://127.0.0.1/p.html"\r\n',
         '"http://127.0.0.1/v.zip" -rf "http://127.0.0.1/p.html"'),
        ("variables by reference, empty referer",
         'Set o = CreateObject("DorimelServer.Launcher")\r\n'
         'u = "http://127.0.0.1/a b.zip"\r\nr = ""\r\no.yaru u, r\r\n',
         '"http://127.0.0.1/a b.zip" -rf ""'),
        ("a number as URL",
         'Set o = CreateObject("DorimelServer.Launcher")\r\no.yaru 5, "x"\r\n',
         '"" -rf "x"'),
    ]
    for name, text, command_line in scripts:
        path = os.path.join(folder, "launch.vbs")
        with open(path, "wb") as f:
            f.write(text.encode("ascii"))
        code, out = wine("cscript", "//nologo", windows_path(path))
        check_equal(code, 0, name + ": script exit code (%s)" % out.strip())
        started = started_command_lines(env, "dorimel.exe", folder)
        check_equal([c.lower() for _, c in started], [(exe + command_line).lower()],
                    name + ": dorimel.exe command line")
        check_equal([c[len(exe):] for _, c in started], [command_line], name + ": parameters")
        kill_started(env, "dorimel.exe", folder)
        check(wait_gone(env, "DorimelServer.exe", folder),
              name + ": the server ends when its last object is released")

    code, _ = wine(server, "/UnRegServer")
    check_equal(code, 0, "/UnregServer exit code")
    check(not reg_exists(LAUNCHER_PROGID_KEY) and not reg_exists(LAUNCHER_KEY), "class removed")
    clean_registry()


def group_starter(env):
    folder = env.folder("starter", server=True, starter=True)
    pid = env.ui.run(os.path.join(folder, "setupstart.exe")).pid
    check_equal(env.ui.wait_exit(pid), 0, "starter exit code")
    started = started_command_lines(env, "DorimelServer.exe", folder)
    check_equal([c for _, c in started],
                ['"%s" -setup' % windows_path(os.path.join(folder, "DorimelServer.exe"))],
                "settings program started with -setup")
    if started:
        window = env.ui.wait_window(pid=started[0][0], title=SETTINGS_TITLE)
        env.ui.call("click", "--hwnd", window["hwnd"], "--id", 2)
        env.ui.wait_exit(started[0][0])

    alone = env.folder("starter_alone", dll=False, dorimel=False, script=False, starter=True)
    pid = env.ui.run(os.path.join(alone, "setupstart.exe")).pid
    check_equal(env.ui.wait_exit(pid), 0, "starter without the settings program: exit code")
    check_equal(env.ui.windows(pid), [], "starter without the settings program: silent")


GROUPS = {
    "module": group_module, "gate": group_gate, "com": group_com, "handoff": group_handoff,
    "settings": group_settings, "automation": group_automation, "starter": group_starter,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=sorted(GROUPS))
    parser.add_argument("--win64", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    env = Env(args)
    missing = missing_setup([env.dll, env.server, env.starter, env.host, env.dorimel, env.ui.exe])
    if missing is not None:
        return missing
    os.environ.setdefault("WINEPREFIX", os.path.abspath(
        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "wineprefix")))
    try:
        result = GROUPS[args.group](env)
    except (UiAutoError, subprocess.TimeoutExpired) as error:
        failures.append(str(error))
        print("FAIL: " + str(error), flush=True)
        result = None
    finally:
        # Whatever this group started and left running.
        for name in ("dorimel.exe", "DorimelServer.exe"):
            kill_started(env, name, args.work)
    if failures:
        print("%d failure(s)" % len(failures), flush=True)
        return 1
    return result if result is not None else 0


if __name__ == "__main__":
    sys.exit(main())
