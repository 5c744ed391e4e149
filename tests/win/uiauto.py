"""Python side of the Wine UI tests: runs tests/win/uiauto.exe through
wine_run.sh and parses its lines. Used by the ctest drivers (python3, no
third-party modules). See README.md."""
import os
import select
import struct
import subprocess
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
WINE_RUN = os.path.join(HERE, "wine_run.sh")


class UiAutoError(Exception):
    pass


SKIPPED = 77  # the tests' SKIP_RETURN_CODE
ALLOW_SKIP = "DORIMEL_ALLOW_SKIP"


def missing_setup(paths=(), display=True, others=()):
    """None when the display (if wanted), every file of paths and nothing of
    others (names of missing pieces found by the caller) is missing; else the
    exit status of a test that cannot run. ./test.sh installs and builds
    everything first, so there a missing piece is a broken set-up and fails
    (1); a developer running one test by hand may set DORIMEL_ALLOW_SKIP=1 to
    have it skipped (77) instead."""
    absent = (["an X display (DISPLAY)"] if display and not os.environ.get("DISPLAY") else []) + \
        [p for p in paths if not os.path.isfile(p)] + list(others)
    if not absent:
        return None
    if os.environ.get(ALLOW_SKIP) == "1":
        print("skipped (%s=1): missing %s" % (ALLOW_SKIP, ", ".join(absent)), flush=True)
        return SKIPPED
    print("FAIL: missing %s: a broken set-up (%s=1 skips instead)" % (", ".join(absent), ALLOW_SKIP),
          flush=True)
    return 1


def wait_for(what, probe, timeout_s, check):
    """Polls probe() (bounded) until it returns a true value; that value, or
    None after check(False, ...) has recorded the time-out."""
    deadline = time.time() + timeout_s
    while True:
        value = probe()
        if value:
            return value
        if time.time() > deadline:
            check(False, "timed out waiting for " + what)
            return None
        time.sleep(0.2)


def windows_path(path):
    """The Wine path of a Unix path (drive Z: is the root of the file system)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def program_path(program):
    """A program's Windows path: a Unix path is converted, a Windows one
    (C:\\windows\\system32\\regsvr32.exe) kept."""
    return program if program[1:3] == ":\\" else windows_path(program)


class UiAuto:
    def __init__(self, uiauto_exe):
        self.exe = os.path.abspath(uiauto_exe)
        self.held = {}  # pid: Watched, for the programs started through run()

    def call(self, *args, timeout_ms=30000, check=True):
        """Runs one command; returns its standard output (UTF-8 text)."""
        command = [WINE_RUN, self.exe, args[0], "--timeout", str(timeout_ms)] + [str(a) for a in args[1:]]
        # Files, not pipes: a program that the tool starts inherits the tool's
        # Unix descriptors and would hold a pipe open until it ends.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            # Wine's own start-up is added to the tool's bounded wait.
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=timeout_ms / 1000 + 60)
            out.seek(0)
            err.seek(0)
            text = out.read().decode("utf-8", "replace")
            if check and done.returncode != 0:
                raise UiAutoError("uiauto %s: %s" % (" ".join(map(str, args)),
                                                     err.read().decode("utf-8", "replace").strip()))
        return text

    def start(self, program, *args):
        """Starts a Windows program (Unix path) with these arguments; its Windows pid."""
        out = self.call("start", "--", windows_path(program), *args)
        return int(out.split("\t")[1])

    def run(self, program, *args):
        """Starts a Windows program (Unix or Windows path) with these
        arguments under a tool that stays until it ends, so that its exit
        code is never lost; a Watched with its pid. wait_exit(pid) and
        kill(pid) use it too."""
        watched = Watched([WINE_RUN, self.exe, "run", "--", program_path(program)] + [str(a) for a in args])
        self.held[watched.pid] = watched
        return watched

    def start_raw(self, program, command_line):
        out = self.call("start-raw", "--", windows_path(program), command_line)
        return int(out.split("\t")[1])

    def windows(self, pid=None):
        """Visible top-level windows: dicts hwnd, pid, cls, title."""
        args = ["windows"] + (["--pid", pid] if pid else [])
        result = []
        for line in self.call(*args).splitlines():
            f = line.split("\t")
            if f[0] == "window":
                result.append({"hwnd": f[1], "pid": int(f[2]), "cls": unescape(f[3]),
                               "title": unescape(f[4])})
        return result

    def wait_window(self, pid=None, title=None, cls=None, timeout_ms=30000):
        args = ["wait"] + (["--pid", pid] if pid else []) + (["--title", title] if title else []) \
            + (["--class", cls] if cls else [])
        f = self.call(*args, timeout_ms=timeout_ms).rstrip("\n").split("\t")
        return {"hwnd": f[1], "pid": int(f[2]), "cls": unescape(f[3]), "title": unescape(f[4])}

    def dump(self, hwnd):
        """The window line and one dict per control: id, cls, enabled, visible, check, text."""
        controls = []
        for line in self.call("dump", "--hwnd", hwnd).splitlines():
            f = line.split("\t")
            if f[0] == "control":
                controls.append({"id": int(f[1]), "cls": unescape(f[2]), "enabled": f[3] == "enabled=1",
                                 "visible": f[4] == "visible=1", "check": f[5].split("=")[1],
                                 "text": unescape(f[7])})
        return controls

    def msgbox(self, pid, timeout_ms=30000):
        """Waits for a message box of the process: dict caption, icon, text, buttons."""
        box = {}
        for line in self.call("msgbox", "--pid", pid, timeout_ms=timeout_ms).splitlines():
            key, _, value = line.partition("\t")
            box[key] = unescape(value)
        return box

    def answer(self, pid, answer):
        self.call("answer", "--pid", pid, answer)

    def close(self, hwnd):
        self.call("close", "--hwnd", hwnd)

    def wait_exit(self, pid, timeout_ms=30000):
        """The process's exit code; UiAutoError when it does not end in time.
        Only a program started through run() has a code that cannot be lost;
        for one started otherwise the tool's wait-exit is asked."""
        if pid in self.held:
            code = self.held[pid].wait_exit(timeout_ms=timeout_ms)
            del self.held[pid]
            return code
        out = self.call("wait-exit", "--pid", pid, timeout_ms=timeout_ms)
        return int(out.split("\t")[1])

    def kill(self, pid):
        self.call("kill", "--pid", pid, check=False)
        if pid in self.held:
            self.held.pop(pid).close()


class Watched:
    """A program started through `uiauto run`: the tool prints the pid line at
    once and the exit line when the program ends. Its output is a pipe, read
    line by line (the program holds the tool's descriptors until it ends, and
    so may a Wine server started on the way: the end of the pipe is not
    awaited)."""

    def __init__(self, command):
        # Under load Wine now and then ends the tool with status 1 before it
        # has run at all: no pid line and not a word on standard error. The
        # program was not started then (the tool prints the pid line right
        # after CreateProcess), so one more start is safe; any other failure,
        # or the same one twice, is reported.
        for attempt in (1, 2):
            self._start(command)
            first = self._line(90)
            if first.startswith("pid\t"):
                break
            silent = not first and self.process.poll() is not None and not self._stderr()
            error = first or self._error()
            self.close()
            if not (silent and attempt == 1):
                raise UiAutoError("uiauto run: %s" % error)
            print("uiauto run: the tool ended before it started (%s); starting it again" % error, flush=True)
            time.sleep(1)
        self.pid = int(first.split("\t")[1])

    def _start(self, command):
        self.err = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self.err)
        self.pending = b""
        self.code = None

    def _stderr(self):
        self.err.seek(0)
        return self.err.read().strip()

    def _error(self):
        self.err.seek(0)
        text = self.err.read().decode("utf-8", "replace").strip()
        return "%s (exit status %s)" % (text or "no output", self.process.poll())

    def _line(self, timeout_s):
        """The next line of the tool; "" when it ended without one or the time ran out."""
        deadline = time.monotonic() + timeout_s
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0:
                return ""
            # In slices, so that a tool that died (its pipe still held open
            # by others) is noticed.
            ended = self.process.poll() is not None
            ready, _, _ = select.select([self.process.stdout], [], [], 0 if ended else min(left, 1.0))
            if ready:
                data = os.read(self.process.stdout.fileno(), 4096)
                if not data:
                    return ""
                self.pending += data
            elif ended:
                return ""  # ended, and nothing more in the pipe
        text, _, self.pending = self.pending.partition(b"\n")
        return text.decode("utf-8", "replace")

    def wait_exit(self, timeout_ms=30000):
        """The program's exit code; UiAutoError when it does not end in time
        or its code cannot be read."""
        if self.code is None:
            last = self._line(timeout_ms / 1000)
            if not last.startswith("exit\t"):
                if self.process.poll() is None:
                    raise UiAutoError("the process did not exit in time")
                raise UiAutoError("the exit code is unknown: %s" % self._error())
            self.code = int(last.split("\t")[1])
            self.close()
        return self.code

    def close(self):
        """Ends the tool (not the program: kill that through UiAuto.kill)."""
        if self.err.closed:
            return
        try:
            # After the exit line the tool is ending by itself.
            self.process.wait(30 if self.code is not None else 0)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.err.close()


def bmp_to_png(bmp_path, png_path):
    """Writes a 24-bit bottom-up BMP (as uiauto.exe writes it) as a PNG file and
    returns its pixels as rows of (r, g, b) tuples, top row first."""
    with open(bmp_path, "rb") as f:
        data = f.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    raw = bytearray()
    for y in range(height - 1, -1, -1):
        row = data[offset + y * stride: offset + y * stride + width * 3]
        raw.append(0)
        for x in range(0, width * 3, 3):
            raw += bytes((row[x + 2], row[x + 1], row[x]))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    with open(png_path, "wb") as f:
        f.write(png)
    return [[tuple(raw[1 + y * (width * 3 + 1) + 3 * x: 4 + y * (width * 3 + 1) + 3 * x]) for x in range(width)]
            for y in range(height)]
