"""kyvd over its own sockets, as the clamd protocol's clients and a hostile sender use them."""
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import zlib

from kyvd_harness import (EICAR, SAMPLE, Daemon, DaemonTest, connect, instream, kyvd_binary,
                          read_all, rss_kib, talk)

FOUND = b"Eicar-Test-Signature FOUND"


def zip_bomb(members, member_size):
    """One ZIP whose members are all the same run of zeros, stored once deflated and
    referenced by every member's header: a few hundred kilobytes that expand without end."""
    zeros = b"\0" * member_size
    crc = zlib.crc32(zeros)
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    packed = packer.compress(zeros) + packer.flush()
    body, central = b"", b""
    for i in range(members):
        name = f"zero{i}.bin".encode()
        offset = len(body)
        local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(packed),
                            member_size, len(name), 0)
        body += local + name + packed
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc,
                               len(packed), member_size, len(name), 0, 0, 0, 0, 0, offset) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, members, members, len(central), len(body), 0)
    return body + central + end


def in_background(daemon, request):
    """Sends request on its own thread; the reply lands in the returned dict once joined."""
    result = {}

    def send():
        result["reply"] = talk(daemon.tcp, request, 600)

    sender = threading.Thread(target=send)
    sender.start()
    return sender, result


class Commands(DaemonTest):
    extra = ("--max-stream", "1M", "--read-timeout", "3")

    def test_every_command_form_over_both_sockets(self):
        # Replies as Debian's clamd gives them (its own names aside).
        cases = [
            (b"zPING\0", b"PONG\0"),
            (b"nPING\n", b"PONG\n"),
            (b"PING\n", b"PONG\n"),
            (b"zPING x\0", b"UNKNOWN COMMAND\0"),
            (b"zFOO\0", b"UNKNOWN COMMAND\0"),
            (b"zEND\0", b"UNKNOWN COMMAND\0"),
            (b"INSTREAM\n", b"UNKNOWN COMMAND\n"),
            (b"zSCAN\0", b"UNKNOWN COMMAND\0"),
            (b"\xff\xfe garbage\n", b"UNKNOWN COMMAND\n"),
            (b"z" + b"A" * 10000, b"UNKNOWN COMMAND\0"),
            (b"zSCAN /no/such/file\0",
             b"/no/such/file: File path check failure: No such file or directory. ERROR\0"),
        ]
        for address in (self.daemon.socket, self.daemon.tcp):
            for request, reply in cases:
                with self.subTest(address=address, request=request[:20]):
                    self.assertEqual(talk(address, request), reply)

    def test_version_stats_and_commands(self):
        version = talk(self.daemon.socket, b"zVERSION\0")
        self.assertRegex(version, rb"^KYV 1\.05/46000/\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\0$")
        commands = talk(self.daemon.socket, b"nVERSIONCOMMANDS\n")
        self.assertTrue(commands.startswith(version[:-1] + b"| COMMANDS: "), commands)
        for name in (b"SCAN", b"INSTREAM", b"FILDES", b"IDSESSION", b"ALLMATCHSCAN", b"STATS"):
            self.assertIn(b" " + name, commands)
        stats = talk(self.daemon.socket, b"nSTATS\n")
        self.assertTrue(stats.startswith(b"POOLS: 1\n\nSTATE: VALID PRIMARY\nTHREADS: live 2"), stats)
        self.assertTrue(stats.endswith(b"\nEND\n"), stats)

    def test_session_replies_carry_their_ids(self):
        request = (b"zIDSESSION\0zPING\0zINSTREAM\0" + instream(EICAR) + b"zINSTREAM\0" +
                   instream(b"clean text") + b"nVERSION\nzSTATS\0zEND\0")
        reply = talk(self.daemon.socket, request)
        parts = reply.split(b"\0")
        self.assertIn(b"1: PONG", parts)
        self.assertIn(b"2: stream: " + FOUND, parts)
        self.assertIn(b"3: stream: OK", parts)
        self.assertRegex(reply, rb"4: KYV 1\.05/[^\n\0]*\n")
        self.assertRegex(reply, rb"5: POOLS: 1\n[^\0]*\nEND\0")

    def test_command_invalid_inside_a_session_ends_it(self):
        for bad in (b"zCONTSCAN /tmp\0", b"zIDSESSION\0", b"zRELOAD\0", b"zFOO\0"):
            with self.subTest(bad=bad):
                reply = talk(self.daemon.socket, b"zIDSESSION\0zPING\0" + bad + b"zPING\0")
                self.assertEqual(reply, b"1: PONG\0" b"2: Command invalid inside IDSESSION. ERROR\0")

    def test_instream_finds_payloads_however_chunked(self):
        with open(SAMPLE, "rb") as f:
            sample = f.read()
        cases = [(EICAR, 4096, FOUND), (EICAR, 1, FOUND), (sample, 100, FOUND),
                 (b"", 1, b"OK"), (b"just some text\n" * 1000, 333, b"OK")]
        for data, chunk, verdict in cases:
            with self.subTest(size=len(data), chunk=chunk):
                reply = talk(self.daemon.tcp, b"zINSTREAM\0" + instream(data, chunk))
                self.assertEqual(reply, b"stream: " + verdict + b"\0")
        self.assertIn("stream(127.0.0.1@", self.daemon.log_text())
        self.assertIn(": Eicar-Test-Signature FOUND", self.daemon.log_text())

    def test_instream_over_the_limit_or_with_a_bogus_length(self):
        limit = b"INSTREAM size limit exceeded. ERROR\0"
        # 1 MiB in full chunks, then one more byte announced.
        over = b"zINSTREAM\0" + instream(b"x" * (1024 * 1024), 65536)[:-4] + struct.pack(">I", 1)
        self.assertEqual(talk(self.daemon.socket, over), limit)
        self.assertEqual(talk(self.daemon.socket, b"zINSTREAM\0\xff\xff\xff\xff"), limit)
        self.assertEqual(talk(self.daemon.socket, b"zIDSESSION\0zINSTREAM\0\x7f\0\0\0"),
                         b"1: " + limit)
        # Exactly the limit is accepted.
        exact = b"zINSTREAM\0" + instream(b"y" * (1024 * 1024), 65536)
        self.assertEqual(talk(self.daemon.socket, exact), b"stream: OK\0")
        self.assertEqual(self.daemon.leftovers(), [])

    def test_fildes_scans_from_the_start_whenever_the_descriptor_comes(self):
        payload = self.file("fd/eicar.com", EICAR)
        for command, delay, end in ((b"zFILDES\0", 0, b"\0"), (b"nFILDES\n", 1.0, b"\n")):
            with self.subTest(command=command), connect(self.daemon.socket) as s:
                fd = os.open(payload, os.O_RDONLY)
                os.lseek(fd, 30, os.SEEK_SET)  # the sender's position does not matter
                s.sendall(command)
                time.sleep(delay)  # clamav-milter sends its descriptor only at the end of a mail
                socket.send_fds(s, [b"x"], [fd])
                os.close(fd)
                self.assertRegex(read_all(s), rb"^fd\[\d+\]: Eicar-Test-Signature FOUND" + end + b"$")
        # In a session, between other commands; a pipe is refused; TCP cannot carry one.
        with connect(self.daemon.socket) as s:
            s.sendall(b"zIDSESSION\0zFILDES\0")
            fd = os.open(payload, os.O_RDONLY)
            socket.send_fds(s, [b"x"], [fd])
            os.close(fd)
            r, w = os.pipe()
            s.sendall(b"zFILDES\0")
            socket.send_fds(s, [b"x"], [r])
            os.close(r)
            os.close(w)
            s.sendall(b"zPING\0zEND\0")
            parts = read_all(s).split(b"\0")
        self.assertTrue(any(p.startswith(b"1: fd[") and p.endswith(FOUND) for p in parts), parts)
        self.assertTrue(any(p.startswith(b"2: fd[") and p.endswith(b": Not supported file type. ERROR")
                            for p in parts), parts)
        self.assertIn(b"3: PONG", parts)
        self.assertEqual(talk(self.daemon.tcp, b"zFILDES\0"), b"No file descriptor received. ERROR\0")

    def test_path_scans_walk_folders(self):
        with open(SAMPLE, "rb") as f:
            sample = f.read()
        top = os.path.join(self.scratch, "tree")
        self.file("tree/a/eicar.com", EICAR)
        self.file("tree/b/c/mail.eml", sample)
        self.file("tree/clean.txt", b"nothing here\n")
        os.symlink("/etc/passwd", os.path.join(top, "link"))
        os.mkfifo(os.path.join(top, "fifo"))
        clean = os.path.dirname(self.file("cleantree/x/readme", b"hello\n"))
        clean = os.path.dirname(clean)
        found_a = f"{top}/a/eicar.com: Eicar-Test-Signature FOUND\0".encode()
        found_b = f"{top}/b/c/mail.eml: Eicar-Test-Signature FOUND\0".encode()
        self.assertEqual(talk(self.daemon.socket, f"zSCAN {top}\0".encode()), found_a)
        self.assertEqual(talk(self.daemon.socket, f"zCONTSCAN {top}\0".encode()), found_a + found_b)
        self.assertEqual(talk(self.daemon.socket, f"zALLMATCHSCAN {top}/\0".encode()), found_a + found_b)
        multi = talk(self.daemon.socket, f"zMULTISCAN {top}\0".encode())
        self.assertEqual(sorted(multi.split(b"\0")), sorted((found_a + found_b).split(b"\0")))
        self.assertEqual(talk(self.daemon.socket, f"nCONTSCAN {clean}\n".encode()),
                         f"{clean}: OK\n".encode())
        self.assertEqual(talk(self.daemon.socket, f"SCAN {top}/clean.txt\n".encode()),
                         f"{top}/clean.txt: OK\n".encode())
        self.assertEqual(talk(self.daemon.socket, f"zSCAN {top}/fifo\0".encode()),
                         f"{top}/fifo: Not supported file type. ERROR\0".encode())

    def test_hostile_clients_do_not_stop_the_others(self):
        master = self.daemon.proc.pid
        rss_before = rss_kib(master)
        held = []
        for i in range(20):
            s = connect(self.daemon.socket if i % 2 else self.daemon.tcp)
            # A chunk that promises 1000 bytes and brings 10.
            s.sendall(b"zINSTREAM\0" + struct.pack(">I", 1000) + b"0123456789")
            held.append(s)
        for i in range(5):
            self.assertEqual(talk(self.daemon.tcp, b"zINSTREAM\0" + instream(EICAR)),
                             b"stream: " + FOUND + b"\0")
            self.assertEqual(talk(self.daemon.socket, b"zPING\0"), b"PONG\0")
        # Half of them vanish mid-stream, without a word; the others stall until dropped.
        for s in held[:10]:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
        self.assertEqual(talk(self.daemon.socket, b"zINSTREAM\0" + instream(EICAR)),
                         b"stream: " + FOUND + b"\0")
        time.sleep(4)  # past --read-timeout
        for s in held[10:]:
            self.assertEqual(read_all(s), b"")
            s.close()
        self.assertEqual(talk(self.daemon.socket, b"zPING\0"), b"PONG\0")
        self.assertEqual(self.daemon.leftovers(), [])
        self.assertLess(rss_kib(master) - rss_before, 64 * 1024)

    def test_zip_bomb_through_instream(self):
        # 8 members of 64 MiB of zeros: 512 MiB if written out, a fraction of a megabyte sent.
        bomb = zip_bomb(8, 64 << 20)
        self.assertLess(len(bomb), 1024 * 1024)
        sender, result = in_background(self.daemon, b"zINSTREAM\0" + instream(bomb, 65536))
        time.sleep(0.5)
        # The other worker still answers while the bomb is unpacked.
        self.assertEqual(talk(self.daemon.socket, b"zINSTREAM\0" + instream(EICAR)),
                         b"stream: " + FOUND + b"\0")
        peak = max(rss_kib(p) for p in self.daemon.workers())
        sender.join()
        self.assertEqual(result["reply"], b"stream: OK\0")
        self.assertLess(peak, 512 * 1024)  # never the whole member in memory
        self.assertEqual(self.daemon.leftovers(), [])


class Workers(DaemonTest):
    """A worker that crashes or overruns its time costs only its own job."""
    extra = ("--max-scantime", "2")

    def bomb_reply(self, action):
        # Just inside the kernel's 1 GiB budget, so that every member is written and scanned:
        # seconds of work. (Past the budget, extraction now stops at once.)
        bomb = zip_bomb(15, 64 << 20)
        sender, result = in_background(self.daemon, b"zINSTREAM\0" + instream(bomb, 65536))
        # Act once a worker has the bomb, however slowly it arrived.
        deadline = time.time() + 60
        while b"idle 2 " in talk(self.daemon.socket, b"zSTATS\0"):
            self.assertLess(time.time(), deadline)
            time.sleep(0.05)
        action()
        sender.join()
        return result["reply"]

    def test_a_crashed_worker_is_replaced_and_its_client_told(self):
        def crash_all():
            # Killed outright: a sanitizer's crash report would take longer than the time limit.
            for pid in self.daemon.workers():
                os.kill(pid, signal.SIGKILL)
        self.assertEqual(self.bomb_reply(crash_all), b"stream: Scan failed. ERROR\0")
        self.answers_again()

    def test_a_worker_past_the_scan_time_is_replaced(self):
        def stall_all():
            # Stopped mid-scan, the worker outlives the scan time whatever this machine's speed.
            for pid in self.daemon.workers():
                os.kill(pid, signal.SIGSTOP)
        self.assertEqual(self.bomb_reply(stall_all),
                         b"stream: Scan time limit exceeded. ERROR\0")
        self.assertIn("after passing the scan time limit", self.daemon.log_text())
        # The idle worker was stopped too (which one holds the bomb is not known here); it had no
        # job, so it goes on as it was.
        for pid in self.daemon.workers():
            os.kill(pid, signal.SIGCONT)
        self.answers_again()

    def answers_again(self):
        for _ in range(3):
            self.assertEqual(talk(self.daemon.socket, b"zINSTREAM\0" + instream(EICAR)),
                             b"stream: " + FOUND + b"\0")
        deadline = time.time() + 10
        while len(self.daemon.workers()) != 2 and time.time() < deadline:
            time.sleep(0.1)
        self.assertEqual(len(self.daemon.workers()), 2)
        self.assertEqual(self.daemon.leftovers(), [])


class Lifecycle(unittest.TestCase):
    """Start, reload, shutdown: files the daemon makes go away with it."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="kyvd-life-")
        self.base = os.path.join(self.scratch, "BASE")
        shutil.copytree(os.path.join(os.path.dirname(kyvd_binary()), "BASE"), self.base)
        self.daemons = []

    def tearDown(self):
        for d in self.daemons:
            d.stop()
        shutil.rmtree(self.scratch, ignore_errors=True)

    def daemon(self, **kw):
        d = Daemon(self.scratch, base=self.base, **kw)
        self.daemons.append(d)
        return d

    def test_reload_swaps_whole_sets_and_keeps_the_old_when_damaged(self):
        # A signature for the member of a RAR fixture, so the RAR module is seen to work
        # before and after the swap.
        kyvdb = os.path.join(os.path.dirname(kyvd_binary()), "kyvdb")
        member = os.path.join(self.scratch, "hello.txt")
        with open(member, "wb") as f:
            f.write(b"hello, world\n")
        sig = subprocess.run([kyvdb, "sig", "--name", "Rar-Hello", member], capture_output=True,
                             text=True, check=True).stdout
        source = os.path.join(self.scratch, "main.txt")
        with open(os.path.join(os.environ.get("KYV_SOURCE_DIR", "."), "data", "main.txt")) as f:
            text = f.read()
        with open(source, "w") as f:
            f.write(text + sig)
        subprocess.run([kyvdb, "build", "-o", os.path.join(self.base, "main.kyv"), source],
                       check=True, capture_output=True)
        with open(os.path.join(os.environ.get("KYV_SOURCE_DIR", "."), "src", "unrar", "testdata",
                               "stored4.rar"), "rb") as f:
            rar = b"zINSTREAM\0" + instream(f.read())
        d = self.daemon().start()
        self.assertEqual(talk(d.socket, rar), b"stream: Rar-Hello FOUND\0")
        self.assertEqual(talk(d.socket, b"zRELOAD\0"), b"RELOADING\0")
        self.wait_for_log(d, "databases reloaded in ")
        self.assertEqual(talk(d.socket, b"zINSTREAM\0" + instream(EICAR)), b"stream: " + FOUND + b"\0")
        self.assertEqual(talk(d.socket, rar), b"stream: Rar-Hello FOUND\0")
        main = os.path.join(self.base, "main.kyv")
        with open(main, "r+b") as f:
            f.write(b"damaged!")
        os.kill(d.proc.pid, signal.SIGUSR2)
        self.wait_for_log(d, "reload failed")
        self.assertEqual(talk(d.socket, b"zINSTREAM\0" + instream(EICAR)), b"stream: " + FOUND + b"\0")
        self.assertEqual(d.stop(), 0)
        self.assertEqual(os.listdir(d.tempdir), [])

    def test_shutdown_from_a_config_file_started_daemon_cleans_up(self):
        config = os.path.join(self.scratch, "kyvd.conf")
        with open(config, "w") as f:
            f.write("# a sample\nsocket /nonexistent/replaced-by-the-command-line.sock\n"
                    "socket-mode 0600\nworkers 1\nmax-stream 10M\n")
        d = self.daemon(config=config, workers=None)
        # A stale socket file of a daemon that died is replaced.
        stale = socket.socket(socket.AF_UNIX)
        stale.bind(d.socket)
        stale.close()
        d.start()
        self.assertEqual(os.stat(d.socket).st_mode & 0o777, 0o600)
        self.assertEqual(len(d.workers()), 1)
        # A second daemon on a socket that answers refuses to start.
        second = subprocess.run([kyvd_binary(), "--foreground", "--base", self.base, "--socket",
                                 d.socket], capture_output=True, text=True, timeout=60)
        self.assertEqual(second.returncode, 2)
        self.assertIn("another daemon is answering on " + d.socket, second.stderr)
        self.assertEqual(talk(d.socket, b"SHUTDOWN\n"), b"")
        d.proc.wait(timeout=30)
        self.assertEqual(d.stop(), 0)
        for gone in (d.socket, d.pidfile):
            self.assertFalse(os.path.exists(gone), gone)
        self.assertEqual(os.listdir(d.tempdir), [])

    def test_the_shipped_sample_configuration_and_socket_activation(self):
        sample = os.path.join(os.environ.get("KYV_SOURCE_DIR", "."), "packaging", "kyvd.conf")
        d = self.daemon(config=sample).start()  # its socket line gives way to the test's
        self.assertEqual(talk(d.socket, b"zPING\0"), b"PONG\0")
        self.assertEqual(d.stop(), 0)
        # Socket activation as systemd does it: the listening socket as descriptor 3,
        # LISTEN_PID and LISTEN_FDS in the environment of the process that gets it.
        sock = os.path.join(self.scratch, "activated.sock")
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(sock)
        listener.listen(16)

        def activate():
            if listener.fileno() != 3:
                os.dup2(listener.fileno(), 3)
            os.set_inheritable(3, True)
            os.environ["LISTEN_PID"] = str(os.getpid())
            os.environ["LISTEN_FDS"] = "1"

        # The first client connects before kyvd runs: the socket is already listening.
        client = connect(sock)
        client.sendall(b"zINSTREAM\0" + instream(EICAR))
        proc = subprocess.Popen([kyvd_binary(), "--foreground", "--base", self.base, "--tempdir",
                                 d.tempdir, "--log", d.logfile], preexec_fn=activate,
                                close_fds=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        listener.close()
        try:
            self.assertEqual(read_all(client), b"stream: " + FOUND + b"\0")
            self.assertIn("answering on inherited socket 3", d.log_text())
        finally:
            client.close()
            proc.send_signal(signal.SIGTERM)
            proc.wait(30)
        self.assertEqual(os.listdir(d.tempdir), [])

    def test_a_full_queue_makes_clients_wait_in_the_backlog(self):
        d = self.daemon(extra=("--max-queue", "1")).start()
        held = connect(d.socket)
        held.sendall(b"zINSTREAM\0\0\0\0\x10")  # takes the one slot, owes 16 bytes
        time.sleep(0.2)
        waiting = []
        for i in range(64):
            s = connect(d.socket if i % 2 else d.tcp)
            s.sendall(b"zPING\0")
            waiting.append(s)
        held.close()
        for s in waiting:
            self.assertEqual(read_all(s), b"PONG\0")
            s.close()

    def test_refuses_to_start_without_signatures_or_with_bad_options(self):
        empty = os.path.join(self.scratch, "empty")
        os.mkdir(empty)
        cases = [(["--base", empty, "--socket", os.path.join(self.scratch, "s")],
                  "cannot load the databases from"),
                 (["--workers", "none"], "--workers: \"none\" is not a whole number"),
                 (["--tcp", "localhost"], "is not HOST:PORT"),
                 (["--bogus", "1"], "--bogus: unknown setting"),
                 (["--config", os.path.join(self.scratch, "missing.conf")],
                  "cannot read the configuration file")]
        for args, message in cases:
            with self.subTest(args=args):
                r = subprocess.run([kyvd_binary(), "--foreground"] + args, capture_output=True,
                                   text=True, timeout=60)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.scratch, "s")))

    def wait_for_log(self, d, text):
        deadline = time.time() + 60
        while text not in d.log_text():
            self.assertLess(time.time(), deadline, d.log_text())
            time.sleep(0.05)


if __name__ == "__main__":
    unittest.main()
