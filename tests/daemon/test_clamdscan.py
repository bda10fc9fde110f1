"""Debian's clamdscan against kyvd, over the Unix socket and over TCP, in each of its modes;
and the same requests to Debian's clamd with a one-signature database, compared line by line
and, for the raw protocol, byte by byte."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from kyvd_harness import EICAR, SAMPLE, Daemon, connect, free_port, read_all, talk, instream

CLAMDSCAN = shutil.which("clamdscan")
CLAMD = shutil.which("clamd") or (os.path.exists("/usr/sbin/clamd") and "/usr/sbin/clamd")
SIGTOOL = shutil.which("sigtool")
MODES = [[], ["--stream"], ["--fdpass"], ["--multiscan"], ["--allmatch"],
         ["--multiscan", "--fdpass"], ["--stream", "--multiscan"]]


def setUpModule():
    if not CLAMDSCAN:
        raise unittest.SkipTest("clamdscan is not installed")


class Tree:
    """A folder with a payload, a payload zipped in a mail, and a clean file."""

    def __init__(self, scratch):
        self.top = os.path.join(scratch, "tree")
        os.makedirs(os.path.join(self.top, "sub"))
        self.payload = self.put("eicar.com", EICAR)
        with open(SAMPLE, "rb") as f:
            self.mail = self.put("sub/sample.eml", f.read())
        self.clean = self.put("clean.txt", b"Nothing to see here.\n")

    def put(self, name, data):
        path = os.path.join(self.top, name)
        with open(path, "wb") as f:
            f.write(data)
        return path


def clamdscan(config, mode, paths):
    r = subprocess.run([CLAMDSCAN, "--config-file=" + config, "--no-summary"] + mode + paths,
                       capture_output=True, text=True, timeout=300)
    return r.returncode, sorted(r.stdout.replace(".UNOFFICIAL", "").splitlines())


def client_config(scratch, name, unix_socket=None, port=None):
    path = os.path.join(scratch, name)
    with open(path, "w") as f:
        if unix_socket:
            f.write(f"LocalSocket {unix_socket}\n")
        else:
            f.write(f"TCPSocket {port}\nTCPAddr 127.0.0.1\n")
    return path


class Clamd:
    """Debian's clamd on a private socket with one signature: EICAR's MD5 under the name the
    bundled BASE gives it."""

    def __init__(self, scratch):
        self.folder = os.path.join(scratch, "clamd")
        db = os.path.join(self.folder, "db")
        os.makedirs(db)
        sample = os.path.join(self.folder, "Eicar-Test-Signature")
        with open(sample, "wb") as f:
            f.write(EICAR)
        line = subprocess.run([SIGTOOL, "--md5", sample], capture_output=True, text=True,
                              check=True, cwd=self.folder).stdout
        with open(os.path.join(db, "one.hdb"), "w") as f:
            f.write(line)
        self.socket = os.path.join(self.folder, "clamd.sock")
        self.config = os.path.join(self.folder, "clamd.conf")
        with open(self.config, "w") as f:
            f.write(f"LocalSocket {self.socket}\nDatabaseDirectory {db}\nForeground yes\n"
                    f"LogFile {self.folder}/clamd.log\nTemporaryDirectory {self.folder}\n"
                    f"PidFile {self.folder}/clamd.pid\nStreamMaxLength 1M\n")
        self.proc = subprocess.Popen([CLAMD, "-c", self.config], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.time() + 120
        while time.time() < deadline:
            try:
                if talk(self.socket, b"zPING\0", 5) == b"PONG\0":
                    return
            except OSError:
                time.sleep(0.2)
        self.stop()
        raise AssertionError("clamd did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class ClamdscanAgainstKyvd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="kyvd-clamdscan-")
        cls.tree = Tree(cls.scratch)
        cls.daemon = Daemon(cls.scratch, extra=("--max-stream", "1M"))
        try:
            cls.daemon.start()
        except BaseException:
            cls.daemon.stop()
            raise
        cls.unix = client_config(cls.scratch, "unix.conf", unix_socket=cls.daemon.socket)
        cls.tcp = client_config(cls.scratch, "tcp.conf", port=cls.daemon.port)
        cls.clamd = None
        if CLAMD and SIGTOOL:
            try:
                cls.clamd = Clamd(cls.scratch)
            except AssertionError:
                cls.clamd = None
            cls.clamd_config = client_config(cls.scratch, "clamd-client.conf",
                                             unix_socket=cls.clamd.socket) if cls.clamd else None

    @classmethod
    def tearDownClass(cls):
        if cls.clamd:
            cls.clamd.stop()
        code = cls.daemon.stop()
        leftovers = cls.daemon.leftovers()
        shutil.rmtree(cls.scratch, ignore_errors=True)
        assert code == 0 and not leftovers, (code, leftovers)

    def expected(self, paths):
        lines = []
        for p in paths:
            if p == self.tree.top:
                lines += [f"{self.tree.payload}: Eicar-Test-Signature FOUND",
                          f"{self.tree.mail}: Eicar-Test-Signature FOUND"]
            elif p == self.tree.clean:
                lines.append(f"{p}: OK")
            else:
                lines.append(f"{p}: Eicar-Test-Signature FOUND")
        return sorted(lines)

    def test_every_mode_over_both_sockets(self):
        runs = [([self.tree.top, self.tree.clean], 1), ([self.tree.clean], 0),
                ([self.tree.payload], 1), ([self.tree.mail], 1)]
        for config in (self.unix, self.tcp):
            for mode in MODES:
                if config == self.tcp and "--fdpass" in mode:
                    continue  # descriptors travel only over Unix sockets
                for paths, status in runs:
                    with self.subTest(config=os.path.basename(config), mode=mode, paths=paths):
                        self.assertEqual(clamdscan(config, mode, paths),
                                         (status, self.expected(paths)))

    def test_same_lines_and_status_as_clamd(self):
        if not self.clamd:
            self.skipTest("clamd or sigtool is not installed")
        paths = [self.tree.top, self.tree.clean]
        for mode in MODES:
            with self.subTest(mode=mode):
                self.assertEqual(clamdscan(self.unix, mode, paths),
                                 clamdscan(self.clamd_config, mode, paths))

    def test_same_bytes_as_clamd(self):
        if not self.clamd:
            self.skipTest("clamd or sigtool is not installed")
        over = b"zINSTREAM\0" + instream(b"x" * (1 << 20), 65536)[:-4] + b"\0\0\0\1"
        requests = [
            b"zPING\0", b"nPING\n", b"PING\n", b"zPING x\0", b"zFOO\0", b"zEND\0", b"zSCAN\0",
            b"INSTREAM\n", b"nIDSESSION\nnPING\nnEND\n",
            b"zIDSESSION\0zPING\0zCONTSCAN /\0", b"zIDSESSION\0zIDSESSION\0",
            b"zINSTREAM\0" + instream(EICAR), b"nINSTREAM\n" + instream(b"clean"),
            b"zINSTREAM\0\xff\xff\xff\xff", over,
            f"zSCAN {self.tree.payload}\0".encode(), f"nCONTSCAN {self.tree.top}\n".encode(),
            f"zSCAN {self.tree.clean}\0".encode(), f"SCAN {self.tree.mail}\n".encode(),
            f"zALLMATCHSCAN {self.tree.payload}\0".encode(),
        ]
        for request in requests:
            with self.subTest(request=request[:40]):
                ours = talk(self.daemon.socket, request)
                theirs = talk(self.clamd.socket, request).replace(b".UNOFFICIAL", b"")
                self.assertEqual(ours, theirs)


if __name__ == "__main__":
    unittest.main()
