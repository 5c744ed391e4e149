"""Test certificates, nginx with TLS and tinyproxy on 127.0.0.1 for the Wine
tests.

TlsServers(folder, root) makes, with the openssl command line, a test CA and
a second CA that nobody trusts, and one server certificate per case:

  good        DNS:localhost, signed by the test CA, valid now
  expired     DNS:localhost, signed by the test CA, valid in 2020 only
  wrong_name  DNS:elsewhere.invalid, signed by the test CA, valid now
  untrusted   DNS:localhost, signed by the other CA, valid now

and starts one nginx serving root over TLS with each certificate on a port of
its own (ports[case]), plus a plain http port (ports["redirect"]) that answers
every request with 302 to the same path on https://localhost:<good port>. ca_der is the test CA in DER form, for the Wine
prefix's CurrentUser "Root" store. stop() ends nginx.

TinyProxy(folder) runs tinyproxy on a free port (port), allowing 127.0.0.1
only; log() is its log (CONNECT lines included).
"""
import ctypes
import os
import signal
import socket
import subprocess
import time

CASES = ("good", "expired", "wrong_name", "untrusted")


def _die_with_parent():
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def _openssl(*arguments, cwd):
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _make_ca(folder, name, subject):
    ca = os.path.join(folder, name)
    os.makedirs(os.path.join(ca, "issued"))
    open(os.path.join(ca, "index.txt"), "w").close()
    with open(os.path.join(ca, "serial"), "w") as f:
        f.write("1000\n")
    with open(os.path.join(ca, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca = test_ca\n[test_ca]\n"
                "dir = %s\ndatabase = $dir/index.txt\nnew_certs_dir = $dir/issued\n"
                "serial = $dir/serial\ncertificate = $dir/ca.pem\nprivate_key = $dir/ca.key\n"
                "default_md = sha256\npolicy = any\nunique_subject = no\n"
                "[any]\ncommonName = supplied\n" % ca)
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", "ca.key", "-out", "ca.pem", "-days", "30", "-subj", "/CN=" + subject,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=ca)
    _openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=ca)
    return ca


def _issue(ca, folder, name, dns, start, end):
    """A server certificate for dns, valid from start to end (YYYYMMDDHHMMSSZ)."""
    key, csr, cert, ext = (os.path.join(folder, name + s) for s in (".key", ".csr", ".pem", ".ext"))
    with open(ext, "w") as f:
        f.write("basicConstraints = CA:FALSE\nkeyUsage = critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage = serverAuth\nauthorityKeyIdentifier = keyid\nsubjectAltName = DNS:%s\n" % dns)
    _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", key, "-out", csr, "-subj", "/CN=" + dns, cwd=folder)
    _openssl("ca", "-batch", "-config", os.path.join(ca, "ca.cnf"), "-in", csr, "-out", cert,
             "-startdate", start, "-enddate", end, "-extfile", ext, "-notext", cwd=folder)
    return cert, key


class TlsServers:
    def __init__(self, folder, root):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        # Names of this run's own: a CA that an earlier, killed run left in the
        # prefix's store must never be taken for the issuer of this run's
        # certificates (Wine looks issuers up by name).
        run = "%d-%s" % (os.getpid(), os.urandom(4).hex())
        ca = _make_ca(folder, "ca", "Dorimel Test CA " + run)
        other = _make_ca(folder, "other_ca", "Dorimel Untrusted CA " + run)
        self.ca_der = os.path.join(ca, "ca.der")
        valid_from = time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() - 86400))
        valid_to = time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + 20 * 86400))
        certificates = {
            "good": _issue(ca, folder, "good", "localhost", valid_from, valid_to),
            "expired": _issue(ca, folder, "expired", "localhost", "20200101000000Z", "20201231000000Z"),
            "wrong_name": _issue(ca, folder, "wrong_name", "elsewhere.invalid", valid_from, valid_to),
            "untrusted": _issue(other, folder, "untrusted", "localhost", valid_from, valid_to),
        }
        self.process = None
        for _ in range(5):
            self.ports = {case: _free_port() for case in CASES + ("redirect",)}
            servers = "  server {\n    listen 127.0.0.1:%d;\n    return 302 https://localhost:%d$request_uri;\n  }\n" % (
                self.ports["redirect"], self.ports["good"])
            servers += "".join(
                "  server {\n    listen 127.0.0.1:%d ssl;\n    root %s;\n"
                "    ssl_certificate %s;\n    ssl_certificate_key %s;\n  }\n"
                % (self.ports[case], root, certificates[case][0], certificates[case][1]) for case in CASES)
            conf = os.path.join(folder, "nginx.conf")
            with open(conf, "w") as f:
                f.write("daemon off;\nmaster_process off;\nworker_processes 1;\n"
                        "pid %s/nginx.pid;\nerror_log %s/error.log;\nevents { worker_connections 64; }\n"
                        "http {\n  default_type application/octet-stream;\n"
                        "  log_format tls '$ssl_protocol $request | range=$http_range';\n  access_log %s/access.log tls;\n"
                        "  client_body_temp_path %s/body;\n  proxy_temp_path %s/proxy;\n"
                        "  fastcgi_temp_path %s/fastcgi;\n  uwsgi_temp_path %s/uwsgi;\n"
                        "  scgi_temp_path %s/scgi;\n  keepalive_timeout 0;\n"
                        "  ssl_protocols TLSv1.2 TLSv1.3;\n%s}\n" % ((folder,) * 8 + (servers,)))
            self.process = subprocess.Popen(["nginx", "-p", folder, "-c", conf, "-e", folder + "/error.log"],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                            stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
            if all(_wait_port(self.process, port) for port in self.ports.values()):
                return
            self.stop()  # a port was taken meanwhile: other ones
        raise RuntimeError("nginx with TLS did not start")

    def access_log(self):
        """Lines "<TLS version> <request line> | range=<Range or ->" of every request so far."""
        try:
            with open(os.path.join(self.folder, "access.log")) as f:
                return f.read().splitlines()
        except OSError:
            return []

    def url(self, case, path):
        return "https://localhost:%d%s" % (self.ports[case], path)

    def stop(self):
        _stop(self.process)


class TinyProxy:
    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder)
        os.chmod(folder, 0o777)  # run as root, tinyproxy becomes nobody and still logs here
        for _ in range(5):
            self.port = _free_port()
            conf = os.path.join(folder, "tinyproxy.conf")
            with open(conf, "w") as f:
                f.write("Port %d\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nMaxClients 20\n"
                        "LogFile \"%s/tinyproxy.log\"\nLogLevel Info\nPidFile \"%s/tinyproxy.pid\"\n"
                        "DisableViaHeader Yes\n" % (self.port, folder, folder))
                if os.getuid() == 0:
                    f.write("User nobody\nGroup nogroup\n")
            self.process = subprocess.Popen(["tinyproxy", "-d", "-c", conf], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                            preexec_fn=_die_with_parent)
            if _wait_port(self.process, self.port):
                return
            self.stop()
        raise RuntimeError("tinyproxy did not start")

    def log(self):
        try:
            with open(os.path.join(self.folder, "tinyproxy.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        _stop(self.process)


def _wait_port(process, port):
    """True when 127.0.0.1:port accepts while process runs (at most 20 s)."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and process.poll() is None:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def _stop(process):
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
