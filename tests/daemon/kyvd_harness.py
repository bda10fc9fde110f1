"""Starts a private kyvd (or clamd) in a scratch folder and talks the clamd protocol to it.

Every daemon a test starts is stopped by the test itself, also when the test fails; nothing
is left in the scratch folder's temporary folder afterwards."""
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")
SOURCE = os.environ.get("KYV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
SAMPLE = os.path.join(SOURCE, "data", "samples", "sample.eml")


def kyvd_binary():
    path = os.environ.get("KYVD")
    if not path:
        raise unittest.SkipTest("KYVD is not set")
    return path


def instream(data, chunk=4096):
    """The INSTREAM body: chunks with 4-byte big-endian lengths, then a zero length."""
    out = b""
    for i in range(0, len(data), chunk):
        piece = data[i:i + chunk]
        out += struct.pack(">I", len(piece)) + piece
    return out + struct.pack(">I", 0)


def connect(address, timeout=30):
    family = socket.AF_UNIX if isinstance(address, str) else socket.AF_INET
    s = socket.socket(family, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.connect(address)
    return s


def read_all(s):
    out = b""
    while True:
        try:
            block = s.recv(65536)
        except ConnectionResetError:
            break
        if not block:
            break
        out += block
    return out


def talk(address, data, timeout=60):
    """Sends data, half-closes nothing, and reads until the daemon closes."""
    with connect(address, timeout) as s:
        s.sendall(data)
        return read_all(s)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except FileNotFoundError:
        return []


class Daemon:
    """One kyvd in its own scratch folder, with a Unix socket and a loopback TCP port."""

    def __init__(self, scratch, extra=(), workers=2, base=None, config=None):
        self.scratch = scratch
        self.socket = os.path.join(scratch, "kyvd.sock")
        self.tempdir = os.path.join(scratch, "tmp")
        self.pidfile = os.path.join(scratch, "kyvd.pid")
        self.logfile = os.path.join(scratch, "kyvd.log")
        os.makedirs(self.tempdir, exist_ok=True)
        self.port = free_port()
        args = [kyvd_binary(), "--foreground", "--socket", self.socket,
                "--tcp", f"127.0.0.1:{self.port}",
                "--tempdir", self.tempdir, "--pid-file", self.pidfile, "--log", self.logfile]
        if workers:
            args += ["--workers", str(workers)]
        if base:
            args += ["--base", base]
        if config:
            args += ["--config", config]
        args += list(extra)
        self.args = args
        self.proc = None

    @property
    def tcp(self):
        return ("127.0.0.1", self.port)

    def start(self):
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0:" + os.environ.get("ASAN_OPTIONS", ""))
        self.stderr = open(os.path.join(self.scratch, "kyvd.stderr"), "wb")
        self.proc = subprocess.Popen(self.args, stderr=self.stderr, env=env)
        deadline = time.time() + 60
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError("kyvd ended at start: " + self.log_text() + self.stderr_text())
            try:
                if talk(self.socket, b"zPING\0", timeout=5) == b"PONG\0":
                    return self
            except OSError:
                pass
            time.sleep(0.05)
        raise AssertionError("kyvd did not answer within 60 s")

    def stop(self):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stderr.close()
        code = self.proc.returncode
        self.proc = None
        return code

    def workers(self):
        return children(self.proc.pid)

    def log_text(self):
        try:
            with open(self.logfile, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stderr_text(self):
        with open(os.path.join(self.scratch, "kyvd.stderr"), encoding="utf-8",
                  errors="replace") as f:
            return f.read()

    def sanitizer_reports(self):
        text = self.stderr_text()
        return [line for line in text.splitlines()
                if "Sanitizer" in line or "runtime error:" in line]

    def leftovers(self):
        """Files in the daemon's temporary folder other than its own empty folders."""
        found = []
        for folder, _, files in os.walk(self.tempdir):
            found += [os.path.join(folder, f) for f in files]
        return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class DaemonTest(unittest.TestCase):
    """A test class with one daemon for all its tests, started and stopped around them."""
    workers = 2
    extra = ()

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="kyvd-test-")
        cls.daemon = Daemon(cls.scratch, extra=cls.extra, workers=cls.workers)
        try:
            cls.daemon.start()
        except BaseException:
            cls.daemon.stop()
            shutil.rmtree(cls.scratch, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        code = cls.daemon.stop()
        reports = cls.daemon.sanitizer_reports()
        leftovers = cls.daemon.leftovers()
        shutil.rmtree(cls.scratch, ignore_errors=True)
        if code != 0 or reports or leftovers:
            raise AssertionError(f"kyvd ended with {code}; left {leftovers}; {reports}")

    def file(self, name, data):
        path = os.path.join(self.scratch, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path
