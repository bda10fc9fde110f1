#!/usr/bin/env python3
"""kyvd against Debian's clamd, as a mail server's client drives them: 2,000 stored messages,
each with a zipped attachment (one in ten carrying the EICAR test file), scanned with
`clamdscan --stream --multiscan` against each daemon in turn, several rounds; clamd gets a
one-signature database (EICAR's MD5, made with its own sigtool) and its clean-result cache off,
so every round scans every message. Also: the time kyvd takes to RELOAD its databases, and the
resident memory of its workers.

    bench/daemon/kyvd_vs_clamd.py [--kyvd build/native/bin/kyvd] [--messages 2000] [--rounds 3]

Prints files per second of each, the ratio, whether both found the same files, the RELOAD
times and the workers' memory."""
import argparse
import io
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from email.message import EmailMessage

EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def make_messages(folder, count):
    rng = random.Random(16)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(3000)]
    infected = set()
    for i in range(count):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
            for m in range(rng.randint(1, 3)):
                text = " ".join(rng.choice(words) for _ in range(rng.randint(500, 6000)))
                z.writestr(f"report{m}.txt", text)
            if i % 10 == 0:
                z.writestr("eicar.com", EICAR)
        msg = EmailMessage()
        msg["From"] = f"sender{i}@example.org"
        msg["To"] = "rcpt@example.net"
        msg["Subject"] = f"Quarterly figures {i}"
        msg.set_content("Please find the figures attached.\n")
        msg.add_attachment(buf.getvalue(), maintype="application", subtype="zip",
                           filename=f"figures{i}.zip")
        name = os.path.join(folder, f"msg{i:05d}.eml")
        with open(name, "wb") as f:
            f.write(msg.as_bytes())
        if i % 10 == 0:
            infected.add(name)
    return infected


def ping(path):
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(5)
            s.connect(path)
            s.sendall(b"zPING\0")
            return s.recv(16) == b"PONG\0"
    except OSError:
        return False


def wait_ping(path, proc, what, seconds=300):
    deadline = time.time() + seconds
    while not ping(path):
        if proc.poll() is not None or time.time() > deadline:
            raise SystemExit(f"{what} did not start")
        time.sleep(0.1)


def tree_cpu(pid):
    """Processor seconds spent by a daemon and its worker processes so far."""
    total = 0
    pids = [pid]
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            pids += [int(p) for p in f.read().split()]
    except FileNotFoundError:
        pass
    for p in pids:
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        total += sum(int(x) for x in fields[11:15])  # utime, stime, and those of reaped children
    return total / os.sysconf("SC_CLK_TCK")


def scan(client_conf, folder):
    started = time.perf_counter()
    r = subprocess.run(["clamdscan", f"--config-file={client_conf}", "--stream", "--multiscan",
                        "--no-summary", "--infected", folder], capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    found = {line.split(": ")[0] for line in r.stdout.splitlines() if line.endswith(" FOUND")}
    return elapsed, found


def rss_kib(pid, field="VmRSS:"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def pss_kib(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--kyvd", default=os.path.join(TOP, "build", "native", "bin", "kyvd"))
    ap.add_argument("--messages", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--reloads", type=int, default=10)
    args = ap.parse_args()
    for tool in ("clamdscan", "clamd", "sigtool"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            raise SystemExit(f"{tool} is not installed (Debian packages clamdscan, clamav-daemon)")
    clamd = shutil.which("clamd") or "/usr/sbin/clamd"
    workers = os.cpu_count() or 1
    work = tempfile.mkdtemp(prefix="kyvd-bench-")
    procs = []
    try:
        mail = os.path.join(work, "mail")
        os.makedirs(mail)
        expected = make_messages(mail, args.messages)
        size = sum(os.path.getsize(os.path.join(mail, n)) for n in os.listdir(mail))
        print(f"{args.messages} messages, {size / 1e6:.1f} MB, {len(expected)} with the payload zipped;"
              f" {workers} workers each")

        kyvd_sock = os.path.join(work, "kyvd.sock")
        kyvd_log = os.path.join(work, "kyvd.log")
        os.makedirs(os.path.join(work, "kyvd-tmp"))
        kyvd = subprocess.Popen([args.kyvd, "--foreground", "--socket", kyvd_sock, "--workers",
                                 str(workers), "--tempdir", os.path.join(work, "kyvd-tmp"),
                                 "--log", kyvd_log])
        procs.append(kyvd)
        wait_ping(kyvd_sock, kyvd, "kyvd")

        db = os.path.join(work, "clamd-db")
        os.makedirs(db)
        sample = os.path.join(work, "Eicar-Test-Signature")
        with open(sample, "wb") as f:
            f.write(EICAR)
        sig = subprocess.run(["sigtool", "--md5", sample], capture_output=True, text=True, check=True)
        with open(os.path.join(db, "one.hdb"), "w") as f:
            f.write(sig.stdout)
        clamd_sock = os.path.join(work, "clamd.sock")
        clamd_conf = os.path.join(work, "clamd.conf")
        with open(clamd_conf, "w") as f:
            f.write(f"LocalSocket {clamd_sock}\nDatabaseDirectory {db}\nForeground yes\n"
                    f"LogFile {work}/clamd.log\nTemporaryDirectory {work}\n"
                    f"MaxThreads {workers}\nDisableCache yes\nStreamMaxLength 100M\n")
        cd = subprocess.Popen([clamd, "-c", clamd_conf], stdout=subprocess.DEVNULL)
        procs.append(cd)
        wait_ping(clamd_sock, cd, "clamd")

        confs = {}
        for name, sock in (("kyvd", kyvd_sock), ("clamd", clamd_sock)):
            confs[name] = os.path.join(work, f"{name}-client.conf")
            with open(confs[name], "w") as f:
                f.write(f"LocalSocket {sock}\n")

        times = {"kyvd": [], "clamd": []}
        cpu = {"kyvd": [], "clamd": []}
        pids = {"kyvd": kyvd.pid, "clamd": cd.pid}
        found = {}
        for r in range(args.rounds):
            order = ("kyvd", "clamd") if r % 2 == 0 else ("clamd", "kyvd")
            for name in order:
                before = tree_cpu(pids[name])
                elapsed, hits = scan(confs[name], mail)
                used = tree_cpu(pids[name]) - before
                times[name].append(elapsed)
                cpu[name].append(used)
                found[name] = hits
                print(f"round {r + 1} {name:5}: {elapsed:7.2f} s, {used:6.2f} s of processor time,"
                      f" {len(hits)} found")
        rate = {n: args.messages / statistics.median(t) for n, t in times.items()}
        print(f"files per second (median of {args.rounds}): kyvd {rate['kyvd']:.0f}, "
              f"clamd {rate['clamd']:.0f}; ratio kyvd/clamd {rate['kyvd'] / rate['clamd']:.2f}")
        per_cpu = {n: args.messages / statistics.median(t) for n, t in cpu.items()}
        print(f"files per processor-second of the daemon: kyvd {per_cpu['kyvd']:.0f}, "
              f"clamd {per_cpu['clamd']:.0f}; ratio {per_cpu['kyvd'] / per_cpu['clamd']:.2f}")
        print("same findings:", found["kyvd"] == found["clamd"] == expected,
              f"(kyvd {len(found['kyvd'])}, clamd {len(found['clamd'])}, expected {len(expected)})")

        worker_pids = [int(p) for p in open(f"/proc/{kyvd.pid}/task/{kyvd.pid}/children").read().split()]
        rss = [rss_kib(p) for p in worker_pids]
        pss = [pss_kib(p) for p in worker_pids]
        print(f"kyvd main process: {rss_kib(kyvd.pid) / 1024:.1f} MiB resident; workers: "
              + ", ".join(f"{a / 1024:.1f} MiB resident ({b / 1024:.1f} MiB proportional)"
                          for a, b in zip(rss, pss)))
        print(f"clamd: {rss_kib(cd.pid) / 1024:.1f} MiB resident")

        reloads = []
        for _ in range(args.reloads):
            before = open(kyvd_log).read().count("databases reloaded in ")
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(kyvd_sock)
                s.sendall(b"zRELOAD\0")
                s.recv(64)
            deadline = time.time() + 60
            while open(kyvd_log).read().count("databases reloaded in ") == before:
                if time.time() > deadline:
                    raise SystemExit("RELOAD did not finish")
                time.sleep(0.01)
            last = re.findall(r"databases reloaded in (\d+) ms \((\d+) ms of processor time\)",
                              open(kyvd_log).read())[-1]
            reloads.append((int(last[0]), int(last[1])))
        print(f"RELOAD of {os.path.dirname(args.kyvd)}/BASE over {len(reloads)}: median "
              f"{statistics.median(r[0] for r in reloads)} ms elapsed, "
              f"{statistics.median(r[1] for r in reloads)} ms of processor time "
              f"(max {max(r[0] for r in reloads)} ms elapsed)")
    finally:
        for p in procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(30)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
