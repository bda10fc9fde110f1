"""Mail through a private Postfix on loopback, with Debian's clamav-milter in front of kyvd:
once over kyvd's Unix socket (the milter passes each mail's descriptor with FILDES) and once
over TCP (it streams the mail with INSTREAM). Every transport discards, so nothing is delivered
anywhere; swaks is the sending client. Slow: it starts Postfix and two milters."""
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from kyvd_harness import SAMPLE, Daemon, free_port

POSTFIX = shutil.which("postfix")
MILTER = shutil.which("clamav-milter") or (os.path.exists("/usr/sbin/clamav-milter") and
                                           "/usr/sbin/clamav-milter")
SWAKS = shutil.which("swaks")

MASTER_CF = """\
127.0.0.1:{unix_port} inet n - n - - smtpd -o smtpd_milters=unix:{scratch}/milter-unix.sock
127.0.0.1:{tcp_port} inet n - n - - smtpd -o smtpd_milters=unix:{scratch}/milter-tcp.sock
pickup    unix n - n 60 1 pickup
cleanup   unix n - n - 0 cleanup
qmgr      unix n - n 300 1 qmgr
rewrite   unix - - n - - trivial-rewrite
bounce    unix - - n - 0 bounce
defer     unix - - n - 0 bounce
trace     unix - - n - 0 bounce
verify    unix - - n - 1 verify
flush     unix n - n 1000 0 flush
proxymap  unix - - n - - proxymap
showq     unix n - n - - showq
error     unix - - n - - error
retry     unix - - n - - error
discard   unix - - n - - discard
anvil     unix - - n - 1 anvil
scache    unix - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
"""

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {scratch}/queue
data_directory = {scratch}/data
maillog_file = {scratch}/maillog
maillog_file_prefixes = {scratch}
mail_owner = postfix
setgid_group = postdrop
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = kyvd-test.localdomain
mydomain = localdomain
mydestination =
mynetworks = 127.0.0.0/8
relayhost =
default_transport = discard:nowhere
local_transport = discard:nowhere
relay_transport = discard:nowhere
virtual_transport = discard:nowhere
alias_maps =
alias_database =
smtpd_relay_restrictions = permit_mynetworks, reject
milter_default_action = tempfail
smtputf8_enable = no
biff = no
"""

MILTER_CONF = """\
MilterSocket unix:{scratch}/milter-{name}.sock
MilterSocketMode 666
ClamdSocket {clamd}
Foreground yes
PidFile {scratch}/milter-{name}.pid
LogFile {scratch}/milter-{name}.log
LogVerbose yes
TemporaryDirectory {scratch}/milter-{name}-tmp
OnInfected Reject
OnFail Defer
AddHeader Replace
"""


def wait_for(path, proc, what):
    deadline = time.time() + 60
    while not os.path.exists(path):
        if proc is not None and proc.poll() is not None:
            raise AssertionError(what + " ended at start")
        if time.time() > deadline:
            raise AssertionError(what + " did not start")
        time.sleep(0.1)


class MilterInFrontOfKyvd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [n for n, p in (("postfix", POSTFIX), ("clamav-milter", MILTER), ("swaks", SWAKS)) if not p]
        if missing:
            raise unittest.SkipTest(", ".join(missing) + " not installed")
        cls.scratch = tempfile.mkdtemp(prefix="kyvd-milter-")
        os.chmod(cls.scratch, 0o755)  # Postfix's own user walks into its queue below it
        cls.milters, cls.postfix_started = [], False
        cls.daemon = Daemon(cls.scratch)
        try:
            cls.start_all()
        except BaseException:
            cls.stop_all()
            raise

    @classmethod
    def start_all(cls):
        cls.daemon.start()
        s = cls.scratch
        for name, clamd in (("unix", "unix:" + cls.daemon.socket),
                            ("tcp", f"tcp:127.0.0.1:{cls.daemon.port}")):
            os.makedirs(f"{s}/milter-{name}-tmp")
            conf = f"{s}/milter-{name}.conf"
            with open(conf, "w") as f:
                f.write(MILTER_CONF.format(scratch=s, name=name, clamd=clamd))
            proc = subprocess.Popen([MILTER, "-c", conf], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            cls.milters.append(proc)
            wait_for(f"{s}/milter-{name}.sock", proc, "clamav-milter")
        cls.unix_port, cls.tcp_port = free_port(), free_port()
        etc = f"{s}/postfix"
        os.makedirs(etc)
        os.makedirs(f"{s}/queue")
        os.makedirs(f"{s}/data")
        postfix_user = pwd.getpwnam("postfix")
        os.chown(f"{s}/data", postfix_user.pw_uid, postfix_user.pw_gid)
        with open(f"{etc}/main.cf", "w") as f:
            f.write(MAIN_CF.format(scratch=s))
        with open(f"{etc}/master.cf", "w") as f:
            f.write(MASTER_CF.format(scratch=s, unix_port=cls.unix_port, tcp_port=cls.tcp_port))
        subprocess.run([POSTFIX, "-c", etc, "check"], check=True, timeout=60)
        subprocess.run([POSTFIX, "-c", etc, "start"], check=True, timeout=60)
        cls.postfix_started = True
        wait_for(f"{s}/queue/pid/master.pid", None, "postfix")

    @classmethod
    def stop_all(cls):
        s = cls.scratch
        if cls.postfix_started:
            subprocess.run([POSTFIX, "-c", f"{s}/postfix", "stop"], timeout=60)
            # Stopping is asynchronous: wait until the master and its children are gone.
            deadline = time.time() + 30
            while os.path.exists(f"{s}/queue/pid/master.pid") and time.time() < deadline:
                try:
                    with open(f"{s}/queue/pid/master.pid") as f:
                        os.kill(int(f.read().split()[0]), 0)
                except (OSError, ValueError, IndexError):
                    break
                time.sleep(0.1)
        for proc in cls.milters:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(30)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        code = cls.daemon.stop()
        leftovers = cls.daemon.leftovers()
        shutil.rmtree(s, ignore_errors=True)
        return code, leftovers

    @classmethod
    def tearDownClass(cls):
        code, leftovers = cls.stop_all()
        assert code == 0 and not leftovers, (code, leftovers)

    def send(self, port, data_args):
        r = subprocess.run([SWAKS, "--server", f"127.0.0.1:{port}", "--from", "sender@example.org",
                            "--to", "rcpt@example.net", "--timeout", "120"] + data_args,
                           capture_output=True, text=True, timeout=300)
        # swaks marks the server's answers "<-" and its failures "<**"; the last one before
        # QUIT answers the message's data.
        answers = [line[4:] for line in r.stdout.splitlines()
                   if line.startswith("<-  ") or line.startswith("<** ")]
        return answers[-2] if len(answers) >= 2 else r.stdout

    def test_payload_rejected_clean_accepted_over_both_sockets(self):
        for name, port in (("unix", self.unix_port), ("tcp", self.tcp_port)):
            with self.subTest(socket=name):
                self.assertRegex(self.send(port, ["--data", SAMPLE]), r"^5\d\d ")
                self.assertRegex(self.send(port, ["--body", "Hello, nothing attached.\n"]),
                                 r"^250 ")
        log = self.daemon.log_text()
        self.assertRegex(log, r"fd\[\d+\]\(local\): Eicar-Test-Signature FOUND")
        self.assertRegex(log, r"stream\(127\.0\.0\.1@\d+\): Eicar-Test-Signature FOUND")


if __name__ == "__main__":
    unittest.main()
