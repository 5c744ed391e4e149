#!/usr/bin/env python3
"""Benchmarks of the native console downloader beside curl, wget and aria2c.

Run through bench/run.sh, which builds what is needed. Everything is served
by a private nginx on 127.0.0.1 and timed here; each figure is the median of
--runs runs. Prints Markdown tables (the form docs/PERFORMANCE.md keeps).

Sections (--only picks some):
  a  throughput of one large file, /dev/shm to /dev/shm: wall time, CPU, peak RSS
  b  finishing cost on the disk's own file system (last byte to file in place),
     with range collapse and with the copy it replaces; cost of the flush before
     each state save
  c  split speed-up against a per-connection rate limit
  d  speed-limit accuracy at 50, 100 and 1000 KiB/s
  e  the Windows program under Wine, same file as (a)
  t  throughput over TLS (https from nginx, certificates of a test CA made
     here): dorimel beside curl and wget, same file size as (a)
  v  throughput over IPv6: the same nginx on [::1] beside 127.0.0.1, dorimel
     (IPv6 is on in the console) and curl, same file size as (a)
"""
import argparse
import ctypes
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1 << 20
STATE_BLOCK = 512000


def log(text):
    print(text, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def make_file(path, size):
    """A file of pseudo-random bytes (so that nothing compresses or dedups)."""
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    block = os.urandom(4 * MIB)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def same_content(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(4 * MIB), fb.read(4 * MIB)
            if x != y:
                return False
            if not x:
                return True


def make_test_ca(folder):
    """A test CA and a certificate for localhost and 127.0.0.1 signed by it
    (EC P-256, as openssl makes them by default for -newkey ec)."""
    os.makedirs(folder, exist_ok=True)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    run = lambda *argv: subprocess.run(argv, cwd=folder, check=True, capture_output=True)
    run("openssl", "req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
        "-subj", "/CN=Dorimel Bench CA")
    run("openssl", "req", "-new", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(folder, "names.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-days", "2", "-extfile", "names.ext", "-out", "server.pem")
    return os.path.join(folder, "ca.pem"), os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")


class Nginx:
    def __init__(self, root, workdir, limit_kib, link_kib, tls=None):
        self.port = free_port()
        self.tls_port = free_port()
        tls_server = ""
        if tls:
            tls_server = (f"  server {{\n    listen 127.0.0.1:{self.tls_port} ssl;\n    root {root};\n"
                          f"    ssl_certificate {tls[1]};\n    ssl_certificate_key {tls[2]};\n  }}\n")
        self.dir = os.path.join(workdir, "nginx")
        os.makedirs(self.dir, exist_ok=True)
        d = self.dir
        conf = f"""daemon off;
master_process off;
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log;
events {{ worker_connections 256; }}
http {{
  default_type application/octet-stream;
  access_log off;
  client_body_temp_path {d}/body; proxy_temp_path {d}/proxy;
  fastcgi_temp_path {d}/fastcgi; uwsgi_temp_path {d}/uwsgi; scgi_temp_path {d}/scgi;
  sendfile on; tcp_nopush on; keepalive_timeout 0;
  server {{
    listen 127.0.0.1:{self.port};
    listen [::1]:{self.port};
    root {root};
    location /limited/ {{ alias {root}/; limit_rate {limit_kib}k; }}
    location /limited-plain/ {{ alias {root}/; limit_rate {limit_kib}k; tcp_nopush off; }}
    location /link/ {{ alias {root}/; limit_rate {link_kib}k; }}
  }}
{tls_server}}}
"""
        with open(os.path.join(d, "nginx.conf"), "w") as f:
            f.write(conf)
        self.process = subprocess.Popen(
            ["nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.port):
            self.stop()
            raise RuntimeError("nginx did not start; see " + d + "/error.log")

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def url6(self, path):
        return f"http://[::1]:{self.port}{path}"

    def tls_url(self, path):
        return f"https://localhost:{self.tls_port}{path}"

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Result:
    def __init__(self, wall, cpu, rss_kib, code):
        self.wall, self.cpu, self.rss_kib, self.code = wall, cpu, rss_kib, code


def run_timed(argv, env=None, timeout=600, step=None):
    """Runs argv, returns wall time, user+system CPU and peak RSS (wait4).
    step(), when given, is called about every millisecond until the child ends."""
    # GNU time reports the peak RSS: a child forked from this Python process
    # would inherit the interpreter's high-water mark through exec.
    rss_file = tempfile.NamedTemporaryFile(prefix="bench-rss-", delete=False)
    rss_file.close()
    argv = ["/usr/bin/time", "-f", "%M", "-o", rss_file.name, *argv]
    start = time.monotonic()
    p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    deadline = start + timeout
    while True:
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            p.kill()
            pid, status, usage = os.wait4(p.pid, 0)
            break
        if step:
            step()
            time.sleep(0.001)
        else:
            time.sleep(0.005)
    wall = time.monotonic() - start
    code = os.waitstatus_to_exitcode(status)
    try:
        with open(rss_file.name) as f:
            lines = f.read().split()
        rss_kib = int(lines[-1])  # after "Command exited with non-zero status N"
    except (OSError, ValueError, IndexError):
        rss_kib = 0
    os.unlink(rss_file.name)
    return Result(wall, usage.ru_utime + usage.ru_stime, rss_kib, code)


def median(values):
    return statistics.median(values) if values else float("nan")


class Bench:
    def __init__(self, args):
        self.args = args
        self.root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
        self.dorimel = os.path.join(args.build, "app", "dorimel")
        self.shim = args.shim
        self.shm = tempfile.mkdtemp(prefix="dorimel-bench-", dir="/dev/shm")
        self.disk = tempfile.mkdtemp(prefix="dorimel-bench-", dir=args.disk_dir)
        self.www = os.path.join(self.shm, "www")
        os.makedirs(self.www)
        self.nginx = None
        self.out = []
        self.tls = make_test_ca(os.path.join(self.shm, "ca"))
        # Every program trusts the test CA, through its own way of being told.
        self.tls_env = dict(os.environ, SSL_CERT_FILE=self.tls[0])

    def close(self):
        if self.nginx:
            self.nginx.stop()
        shutil.rmtree(self.shm, ignore_errors=True)
        shutil.rmtree(self.disk, ignore_errors=True)

    def emit(self, text=""):
        print(text, flush=True)
        self.out.append(text)

    def fresh_dir(self, base, name):
        d = os.path.join(base, name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        return d

    def dorimel_argv(self, dst, url, *options):
        return [self.dorimel, "-nd", "1", "-sl", "0", "-sp", "0", *options, "-td", dst, url]

    # ---- (a) throughput ----------------------------------------------------
    def tool_argv(self, tool, dst, url, name):
        out = os.path.join(dst, name)
        if tool == "dorimel":
            return self.dorimel_argv(dst, url)
        if tool == "dorimel -sp 1":
            return self.dorimel_argv(dst, url, "-sp", "1")
        https = url.startswith("https:")
        if tool == "curl":
            return ["curl", "-s", *(["--cacert", self.tls[0]] if https else []), "-o", out, url]
        if tool == "wget":
            return ["wget", "-q", *(["--ca-certificate=" + self.tls[0]] if https else []), "-O", out, url]
        if tool == "aria2c -x1":
            return ["aria2c", "-q", "-x1", "-s1", "--file-allocation=none", "--allow-overwrite=true",
                    "--auto-file-renaming=false", "-d", dst, "-o", name, url]
        if tool == "aria2c -x2":
            return ["aria2c", "-q", "-x2", "-s2", "-k1M", "--file-allocation=none", "--allow-overwrite=true",
                    "--auto-file-renaming=false", "-d", dst, "-o", name, url]
        raise ValueError(tool)

    def measure_once(self, tool, url, name, source, base):
        dst = self.fresh_dir(base, "dst")
        step, marks = None, {}
        if tool == "dorimel":
            # The time to the last byte: the temporary file reaches its full
            # size (data behind the state block) before the relocation.
            temp, full = os.path.join(dst, name + ".dorimelt"), STATE_BLOCK + os.path.getsize(source)

            def step():
                try:
                    if "last" not in marks and os.stat(temp).st_size >= full:
                        marks["last"] = time.monotonic()
                except FileNotFoundError:
                    pass
        start = time.monotonic()
        env = self.tls_env if url.startswith("https:") else None
        r = run_timed(self.tool_argv(tool, dst, url, name), env=env, step=step)
        r.last_byte = marks["last"] - start if "last" in marks else None
        target = os.path.join(dst, name)
        ok = r.code == 0 and os.path.exists(target) and same_content(target, source)
        if not ok:
            log(f"  {tool}: failed (exit {r.code})")
        shutil.rmtree(dst, ignore_errors=True)
        return r, ok

    def measure_all(self, tools, url, name, source, base, section):
        """Runs the tools in turn, round after round, so that a change in the
        machine's load falls on all of them alike."""
        results = {tool: [] for tool in tools}
        for run in range(self.args.runs):
            for tool in tools:
                log(f"({section}) round {run + 1}: {tool}")
                results[tool].append(self.measure_once(tool, url, name, source, base))
        return results

    def section_a(self):
        tools = ["curl", "dorimel", "dorimel -sp 1", "wget"]
        if shutil.which("aria2c"):
            tools.append("aria2c -x1")
        self.throughput("a", f"### (a) Throughput, {self.args.size} MiB, /dev/shm to /dev/shm", tools,
                        self.nginx.url)

    def section_t(self):
        self.throughput("t", f"### (t) Throughput over TLS, {self.args.size} MiB, https from nginx on 127.0.0.1, "
                        "/dev/shm to /dev/shm", ["curl", "dorimel", "wget"], self.nginx.tls_url)

    def section_v(self):
        size = self.args.size * MIB
        name = "big.bin"
        source = os.path.join(self.www, name)
        if not os.path.exists(source) or os.path.getsize(source) != size:
            make_file(source, size)
        self.emit(f"### (v) Throughput over IPv6, {size // MIB} MiB, the same nginx on 127.0.0.1 and [::1], "
                  f"/dev/shm to /dev/shm, median of {self.args.runs}")
        self.emit()
        self.emit("| program | address | wall s | MiB/s | ratio to 127.0.0.1 | ok |")
        self.emit("|---|---|---|---|---|---|")
        tools = ["dorimel", "curl"]
        addresses = (("127.0.0.1", self.nginx.url), ("[::1]", self.nginx.url6))
        by_address = {address: {tool: [] for tool in tools} for address, _ in addresses}
        # Round after round, each tool over each address in turn, so that a
        # change in the machine's load falls on both addresses alike.
        for run in range(self.args.runs):
            for tool in tools:
                for address, url_of in addresses:
                    log(f"(v) round {run + 1}: {tool} {address}")
                    by_address[address][tool].append(self.measure_once(tool, url_of("/" + name), name, source,
                                                                       self.shm))
        for tool in tools:
            base = median([r.wall for r, _ in by_address["127.0.0.1"][tool]])
            for address in ("127.0.0.1", "[::1]"):
                results = by_address[address][tool]
                wall = median([r.wall for r, _ in results])
                oks = sum(1 for _, ok in results if ok)
                self.emit(f"| {tool} | {address} | {wall:.2f} | {size / MIB / wall:.0f} | {base / wall:.2f} "
                          f"| {oks}/{len(results)} |")
        self.emit()

    def throughput(self, section, title, tools, url_of):
        size = self.args.size * MIB
        name = "big.bin"
        source = os.path.join(self.www, name)
        if not os.path.exists(source) or os.path.getsize(source) != size:
            make_file(source, size)
        self.emit(f"{title}, median of {self.args.runs}")
        self.emit()
        self.emit("| program | wall s | to last byte s | MiB/s | ratio to curl (speed) | CPU s | peak RSS MiB | ok |")
        self.emit("|---|---|---|---|---|---|---|---|")
        curl_wall = None
        all_results = self.measure_all(tools, url_of("/" + name), name, source, self.shm, section)
        for tool in tools:
            results = all_results[tool]
            wall = median([r.wall for r, _ in results])
            cpu = median([r.cpu for r, _ in results])
            rss = max(r.rss_kib for r, _ in results) / 1024
            oks = sum(1 for _, ok in results if ok)
            if tool == "curl":
                curl_wall = wall
            ratio = curl_wall / wall if curl_wall else float("nan")
            lasts = [r.last_byte for r, _ in results if r.last_byte is not None]
            last = f"{median(lasts):.2f}" if lasts else "–"
            self.emit(f"| {tool} | {wall:.2f} | {last} | {size / MIB / wall:.0f} | {ratio:.2f} | {cpu:.2f} | {rss:.1f} "
                      f"| {oks}/{len(results)} |")
        # Peak memory must not grow with the download: the same with 1/64 of it.
        small = os.path.join(self.www, "small.bin")
        make_file(small, max(MIB, size // 64))
        r, ok = self.measure_once("dorimel", url_of("/small.bin"), "small.bin", small, self.shm)
        self.emit()
        self.emit(f"dorimel's peak RSS for {max(MIB, size // 64) // MIB} MiB: {r.rss_kib / 1024:.1f} MiB "
                  f"({'ok' if ok else 'failed'}).")
        os.unlink(small)
        self.emit()

    # ---- (b) finishing on the disk, flush cost -------------------------------
    def finishing_run(self, url, name, source, env):
        if env.pop("BENCH_OVER_LINK", None):
            url = url.replace(f"/{name}", f"/link/{name}")
        dst = self.fresh_dir(self.disk, "dst")
        temp = os.path.join(dst, name + ".dorimelt")
        full = STATE_BLOCK + os.path.getsize(source)
        marks = {}

        def step():
            # The single session writes in order: the temporary file reaching
            # its full size is the last byte's write.
            if "last" in marks:
                return
            try:
                if os.stat(temp).st_size >= full:
                    marks["last"] = time.monotonic()
            except FileNotFoundError:
                pass

        start = time.monotonic()
        r = run_timed(self.dorimel_argv(dst, url), env=env, step=step)
        end = time.monotonic()
        target = os.path.join(dst, name)
        ok = r.code == 0 and same_content(target, source)
        last = marks.get("last", end)
        shutil.rmtree(dst, ignore_errors=True)
        return last - start, end - last, r, ok

    def section_b(self):
        size = self.args.disk_size * MIB
        name = "disk.bin"
        source = os.path.join(self.www, name)
        make_file(source, size)
        url = self.nginx.url("/" + name)
        variants = [
            ("collapse (as shipped)", {}),
            (f"collapse, server at {self.args.link_kib // 1024} MiB/s", {"BENCH_OVER_LINK": "1"}),
            ("copy (collapse refused)", {"DORIMEL_BENCH_NO_COLLAPSE": "1"}),
            ("collapse, no flush before state saves", {"DORIMEL_BENCH_NO_SYNC": "1"}),
            ("collapse, no early writeback", {"DORIMEL_BENCH_NO_WRITEBACK": "1"}),
            ("copy, no flush, no early writeback", {"DORIMEL_BENCH_NO_COLLAPSE": "1", "DORIMEL_BENCH_NO_SYNC": "1",
                                                    "DORIMEL_BENCH_NO_WRITEBACK": "1"}),
        ]
        self.emit(f"### (b) Finishing and flush cost, {self.args.disk_size} MiB into {self.args.disk_dir} "
                  f"({fs_type(self.args.disk_dir)}), median of {self.args.runs}")
        self.emit()
        self.emit("| variant | download s | finishing s | finishing / download | total s | ok |")
        self.emit("|---|---|---|---|---|---|")
        collected = {label: [] for label, _ in variants}
        for run in range(self.args.runs):
            for label, extra in variants:
                log(f"(b) round {run + 1}: {label}")
                env = dict(os.environ, LD_PRELOAD=self.shim, **extra)
                collected[label].append(self.finishing_run(url, name, source, env))
        for label, _ in variants:
            runs = collected[label]
            down = median([d for d, _, _, _ in runs])
            fin = median([f for _, f, _, _ in runs])
            total = median([r.wall for _, _, r, _ in runs])
            oks = sum(1 for *_, ok in runs if ok)
            self.emit(f"| {label} | {down:.2f} | {fin:.3f} | {100 * fin / down:.2f} % | {total:.2f} "
                      f"| {oks}/{len(runs)} |")
        curl = []
        for run in range(self.args.runs):
            log(f"(b) round {run + 1}: curl")
            curl.append(self.measure_once("curl", url, name, source, self.disk))
        self.emit(f"| curl -o into the same folder (no flush, nothing to finish) | – | – | – "
                  f"| {median([r.wall for r, _ in curl]):.2f} | {sum(1 for _, ok in curl if ok)}/{len(curl)} |")
        os.unlink(source)
        self.emit()
        self.emit("Relocation alone, on a temporary file whose data is already on the disk "
                  "(collapse, or the copy forward in 532480-byte blocks, each followed by truncation "
                  "and fdatasync):")
        self.emit()
        self.emit("| relocation | seconds |")
        self.emit("|---|---|")
        for label, collapse in [("collapse", True), ("copy", False)]:
            times = [relocate_only(self.disk, size, collapse) for _ in range(self.args.runs)]
            self.emit(f"| {label} | {median(times):.3f} |")
        self.emit()

    # ---- (c) split speed-up ------------------------------------------------
    def section_c(self):
        size = self.args.split_size * MIB
        name = "split.bin"
        source = os.path.join(self.www, name)
        make_file(source, size)
        tools = ["dorimel", "dorimel -sp 1", "curl"]
        if shutil.which("aria2c"):
            tools.append("aria2c -x2")
        self.emit(f"### (c) Split speed-up, {self.args.split_size} MiB, nginx limit_rate "
                  f"{self.args.limit_kib} KiB/s per connection, median of {self.args.runs}")
        self.emit()
        # nginx paces a corked connection (sendfile with tcp_nopush, Debian's
        # default) differently from a plain one: both are shown.
        self.emit("| program | nginx tcp_nopush | wall s | speed-up over single dorimel | ok |")
        self.emit("|---|---|---|---|---|")
        for location, nopush in [("/limited/", "on"), ("/limited-plain/", "off")]:
            single = None
            all_results = self.measure_all(tools, self.nginx.url(location + name), name, source, self.shm, "c")
            for tool in tools:
                results = all_results[tool]
                wall = median([r.wall for r, _ in results])
                if tool == "dorimel":
                    single = wall
                oks = sum(1 for _, ok in results if ok)
                self.emit(f"| {tool} | {nopush} | {wall:.2f} | {single / wall:.2f}× | {oks}/{len(results)} |")
        os.unlink(source)
        self.emit()

    # ---- (d) speed-limit accuracy ---------------------------------------------
    def section_d(self):
        rates = [50, 100, 1000]
        seconds = self.args.limit_seconds
        name = "limit.bin"
        source = os.path.join(self.www, name)
        make_file(source, max(rates) * 1024 * (seconds + 10))
        url = self.nginx.url("/" + name)
        tools = ["dorimel", "curl", "wget"]
        self.emit(f"### (d) Speed-limit accuracy over {seconds} s, all nine transfers at once, "
                  f"{self.args.runs} runs")
        self.emit()
        self.emit("| program | limit KiB/s | average KiB/s (median run) | error | per-second spread (sd) "
                  "| per-second min–max |")
        self.emit("|---|---|---|---|---|---|")
        collected = {(t, r): [] for t in tools for r in rates}
        for run in range(self.args.runs):
            log(f"(d) run {run + 1}")
            jobs = {}
            for tool in tools:
                for rate in rates:
                    dst = self.fresh_dir(self.shm, f"limit-{tool}-{rate}")
                    if tool == "dorimel":
                        argv = self.dorimel_argv(dst, url, "-sl", "1", "-ss", str(rate))
                        watched, offset = os.path.join(dst, name + ".dorimelt"), STATE_BLOCK
                    elif tool == "curl":
                        argv = ["curl", "-s", "--limit-rate", f"{rate}K", "-o", os.path.join(dst, name), url]
                        watched, offset = os.path.join(dst, name), 0
                    else:
                        argv = ["wget", "-q", f"--limit-rate={rate}k", "-O", os.path.join(dst, name), url]
                        watched, offset = os.path.join(dst, name), 0
                    p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    jobs[(tool, rate)] = (p, watched, offset, [], time.monotonic())
            start = time.monotonic()
            while time.monotonic() - start < seconds + 3:
                now = time.monotonic()
                for p, watched, offset, samples, _ in jobs.values():
                    try:
                        samples.append((now, max(0, os.stat(watched).st_size - offset)))
                    except FileNotFoundError:
                        pass
                time.sleep(0.1)
            for (key, (p, watched, offset, samples, started)) in jobs.items():
                p.send_signal(signal.SIGKILL)
                p.wait()
                collected[key].append(rates_from(started, samples, seconds))
        for tool in tools:
            for rate in rates:
                runs = [r for r in collected[(tool, rate)] if r]
                if not runs:
                    self.emit(f"| {tool} | {rate} | no data | | | |")
                    continue
                averages = [avg for avg, _ in runs]
                per_second = [x for _, seconds_list in runs for x in seconds_list]
                avg = median(averages)
                sd = statistics.pstdev(per_second) if len(per_second) > 1 else 0
                self.emit(f"| {tool} | {rate} | {avg:.1f} | {100 * (avg - rate) / rate:+.1f} % "
                          f"| {100 * sd / rate:.1f} % | {min(per_second):.0f}–{max(per_second):.0f} |")
        os.unlink(source)
        for tool in tools:
            for rate in rates:
                shutil.rmtree(os.path.join(self.shm, f"limit-{tool}-{rate}"), ignore_errors=True)
        self.emit()

    # ---- (e) Wine -----------------------------------------------------------
    def section_e(self):
        exe = os.path.join(self.args.win_build, "app", "dorimel.exe")
        self.emit(f"### (e) Under Wine: dorimel.exe, {self.args.size} MiB, /dev/shm to /dev/shm, "
                  f"median of {self.args.runs}")
        self.emit()
        if not os.path.exists(exe) or not shutil.which("wine"):
            self.emit(f"Not measured: {exe} or wine is missing.")
            self.emit()
            return
        size = self.args.size * MIB
        name = "big.bin"
        source = os.path.join(self.www, name)
        make_file(source, size)
        env = dict(os.environ)
        env.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", LANG="ja_JP.UTF-8",
                   LC_ALL="ja_JP.UTF-8")
        env.setdefault("WINEPREFIX", os.path.join(self.root, "build", "wineprefix"))
        self.emit("| program | wall s | MiB/s | ok |")
        self.emit("|---|---|---|---|")
        for label, argv_of in [
            ("curl (reference)", lambda dst: self.tool_argv("curl", dst, self.nginx.url("/" + name), name)),
            ("dorimel (native)", lambda dst: self.dorimel_argv(dst, self.nginx.url("/" + name))),
            ("dorimel.exe (Wine)", lambda dst: ["wine", exe, "-nd", "1", "-ac", "1", "-sl", "0", "-sp", "0",
                                                "-td", "Z:" + dst.replace("/", "\\") + "\\",
                                                self.nginx.url("/" + name)]),
        ]:
            log(f"(e) {label}")
            walls, oks = [], 0
            for _ in range(self.args.runs):
                dst = self.fresh_dir(self.shm, "dst")
                r = run_timed(argv_of(dst), env=env, timeout=self.args.wine_timeout)
                target = os.path.join(dst, name)
                if os.path.exists(target) and same_content(target, source):
                    oks += 1
                walls.append(r.wall)
                shutil.rmtree(dst, ignore_errors=True)
            wall = median(walls)
            self.emit(f"| {label} | {wall:.2f} | {size / MIB / wall:.0f} | {oks}/{len(walls)} |")
        os.unlink(source)
        self.emit()


def rates_from(start, samples, seconds):
    """Average KiB/s over the window from the program's start, and the rate of
    each whole second after the first (sizes interpolated at the marks)."""
    data = [(start, 0)] + [(t, s) for t, s in samples if t >= start]

    def size_at(t):
        for (ta, sa), (tb, sb) in zip(data, data[1:]):
            if ta <= t <= tb:
                return sa if tb == ta else sa + (sb - sa) * (t - ta) / (tb - ta)
        return data[-1][1]

    end = min(data[-1][0], start + seconds)
    if end - start < 2:
        return None
    average = size_at(end) / (end - start) / 1024
    per_second = [(size_at(start + k) - size_at(start + k - 1)) / 1024 for k in range(2, int(end - start) + 1)]
    return average, per_second


def relocate_only(folder, size, collapse):
    """Times what the program's finishing does to a flushed temporary file."""
    path = os.path.join(folder, "relocate.bin")
    block = os.urandom(4 * MIB)
    with open(path, "wb") as f:
        f.write(b"\0" * STATE_BLOCK)
        for left in range(size, 0, -len(block)):
            f.write(block[:min(left, len(block))])
        f.flush()
        os.fsync(f.fileno())
    fd = os.open(path, os.O_RDWR)
    try:
        start = time.monotonic()
        if collapse:
            libc = ctypes.CDLL(None, use_errno=True)
            libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64]
            if libc.fallocate(fd, 0x08, 0, STATE_BLOCK) != 0:  # FALLOC_FL_COLLAPSE_RANGE
                return float("nan")
        else:
            copied = 0
            while True:
                data = os.pread(fd, 0x82000, STATE_BLOCK + copied)
                if not data:
                    break
                os.pwrite(fd, data, copied)
                copied += len(data)
            os.ftruncate(fd, size)
        os.fdatasync(fd)
        return time.monotonic() - start
    finally:
        os.close(fd)
        os.unlink(path)


def fs_type(path):
    try:
        out = subprocess.run(["df", "--output=fstype", path], capture_output=True, text=True).stdout.split()[-1]
        return out or "?"
    except OSError:
        return "?"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--win-build", default="")
    ap.add_argument("--shim", required=True)
    ap.add_argument("--only", default="abcdetv")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--size", type=int, default=1024, help="MiB for (a) and (e)")
    ap.add_argument("--disk-size", type=int, default=1024, help="MiB for (b)")
    ap.add_argument("--disk-dir", default="/var/tmp")
    ap.add_argument("--split-size", type=int, default=32, help="MiB for (c)")
    ap.add_argument("--limit-kib", type=int, default=4096, help="per-connection rate for (c)")
    ap.add_argument("--limit-seconds", type=int, default=20)
    ap.add_argument("--link-kib", type=int, default=102400, help="server rate of the (b) row 'over a link'")
    ap.add_argument("--wine-timeout", type=int, default=600)
    args = ap.parse_args()
    bench = Bench(args)
    try:
        bench.nginx = Nginx(bench.www, bench.shm, args.limit_kib, args.link_kib, bench.tls)
        bench.emit(f"Machine: {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f} at start; "
                   f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
        bench.emit()
        for section in args.only:
            getattr(bench, "section_" + section)()
        bench.emit(f"Load average at the end: {os.getloadavg()[0]:.1f}")
    finally:
        bench.close()


if __name__ == "__main__":
    main()
