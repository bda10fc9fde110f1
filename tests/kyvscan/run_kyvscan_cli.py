"""The kyvscan command line as users and scripts meet it: folder walks with link loops and
special files end, standard input and pipes are scanned, exit statuses and error lines follow
the clamscan conventions, unreadable paths are errors with the system's reason (checked as an
unprivileged user), temporary folders are honoured and never left behind, a signal in the middle
of a large scan removes what the scan wrote.

usage: run_kyvscan_cli.py --kyvscan PROG --base DIR [--kyvdb PROG]"""
import argparse
import base64
import email.message
import json
import lzma
import os
import pwd
import re
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import time
import zlib

EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
# Every run gets this long; a walk that loops or an open that blocks fails instead of hanging.
TIMEOUT = 60

failures = []


def check(what, ok, output=""):
    if not ok:
        failures.append(what)
        print("FAIL %s\n%s" % (what, output))
    else:
        print("ok   %s" % what)


def write(path, data):
    if os.path.dirname(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def zip_of(members):
    """A ZIP of (name, data) members, stored (no compression)."""
    local = b""
    central = b""
    for name, data in members:
        crc = zlib.crc32(data)
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 10, 0, 0, 0, 0, crc, len(data),
                               len(data), len(name), 0, 0, 0, 0, 0, len(local)) + name
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 10, 0, 0, 0, 0, crc, len(data), len(data),
                             len(name), 0) + name + data
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(members), len(members), len(central),
                      len(local), 0)
    return local + central + end


def stored_zip(name, data):
    """A one-member ZIP, stored (no compression)."""
    return zip_of([(name, data)])


def zeros_zip(path, size_mib):
    """A ZIP whose one member is size_mib MiB of zeros, deflated: one piece of 1 MiB compressed
    once, ending in a full flush (byte-aligned, no reference before it), repeated, then an empty
    final block. Built in well under a second."""
    chunk = bytes(1 << 20)
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    piece = c.compress(chunk) + c.flush(zlib.Z_FULL_FLUSH)
    crc = 0
    for _ in range(size_mib):
        crc = zlib.crc32(chunk, crc)
    packed = len(piece) * size_mib + 2
    size = size_mib << 20
    name = b"zeros.bin"
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, packed, size,
                            len(name), 0) + name)
        for _ in range(size_mib):
            f.write(piece)
        f.write(b"\x03\x00")
        central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, packed,
                              size, len(name), 0, 0, 0, 0, 0, 0) + name
        offset = 30 + len(name) + packed
        f.write(central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), offset, 0))


class Runner:
    def __init__(self, kyvscan, work):
        self.kyvscan = kyvscan
        self.work = work
        self.tmp = os.path.join(work, "tmp")
        os.makedirs(self.tmp)

    def run(self, args, stdin=None, user=None, env=None):
        """Runs kyvscan in the work folder with its own TMPDIR; returns (status, stdout,
        stderr, what it left in TMPDIR)."""
        environment = dict(os.environ, TMPDIR=self.tmp)
        environment.update(env or {})
        prefix = []
        if user:
            prefix = ["setpriv", "--reuid=" + user, "--regid=" + user_group(user), "--clear-groups"]
        try:
            run = subprocess.run(prefix + [self.kyvscan] + args, cwd=self.work, input=stdin,
                                 capture_output=True, timeout=TIMEOUT, env=environment)
        except subprocess.TimeoutExpired as e:
            return None, (e.stdout or b"").decode("utf-8", "replace"), "timed out", []
        left = os.listdir(self.tmp)
        for name in left:
            shutil.rmtree(os.path.join(self.tmp, name), ignore_errors=True)
        return (run.returncode, run.stdout.decode("utf-8", "replace"),
                run.stderr.decode("utf-8", "replace"), left)


def user_group(user):
    return str(pwd.getpwnam(user).pw_gid)


def expect(runner, what, args, status, out=(), err=(), reject=(), stdin=None, user=None):
    code, stdout, stderr, left = runner.run(args, stdin=stdin, user=user)
    problems = []
    if code != status:
        problems.append("exit status %s, expected %s" % (code, status))
    for pattern in out:
        if not re.search(pattern, stdout, re.M):
            problems.append("stdout lacks %r" % pattern)
    for pattern in err:
        if not re.search(pattern, stderr, re.M):
            problems.append("stderr lacks %r" % pattern)
    for pattern in reject:
        if re.search(pattern, stdout + stderr, re.M):
            problems.append("output has %r" % pattern)
    if left:
        problems.append("left in the temporary folder: %s" % left)
    check(what, not problems, "\n".join(problems) + "\n--- stdout\n" + stdout + "--- stderr\n" + stderr)
    return stdout


def walk_cases(r):
    write("walk/clean.txt", b"plain text\n")
    write("walk/sub/inner.txt", b"more plain text\n")
    os.symlink(".", "walk/self")
    os.symlink("..", "walk/sub/up")
    os.symlink("clean.txt", "walk/link.txt")
    os.mkfifo("walk/fifo")
    sock = socket.socket(socket.AF_UNIX)
    sock.bind("walk/sock")
    once = r"(?s)^walk/clean.txt: OK\n(?!.*walk/.*clean.txt: OK)"
    expect(r, "a link loop is not followed, file links are", ["walk"], 0,
           out=[once, r"^walk/link.txt: OK", r"^walk/sub/inner.txt: OK", r"Scanned files: 3\n"],
           reject=[r"walk/self/", r"walk/sub/up"])
    expect(r, "--follow-symlinks scans each file once and ends loops", ["--follow-symlinks", "walk"], 0,
           out=[r"^walk/clean.txt: OK", r"Scanned files: 2\n"], reject=[r"self/", r"up/", r"link.txt"])
    expect(r, "FIFOs and sockets in folders are skipped with a note, no error", ["walk/sub", "walk"], 0,
           err=[r"walk/fifo: skipped: a FIFO", r"walk/sock: skipped: a socket"], out=[r"Errors: 0"])
    expect(r, "a link named on the command line is followed", ["walk/self"], 0,
           out=[r"^walk/self/clean.txt: OK"])
    sock.close()


def stream_cases(r):
    expect(r, "- scans standard input as stdin", ["-"], 1, stdin=EICAR,
           out=[r"^stdin: Eicar-Test-Signature FOUND$"])
    expect(r, "/dev/stdin from a pipe is read, not reported OK unread", ["/dev/stdin"], 1, stdin=EICAR,
           out=[r"^/dev/stdin: Eicar-Test-Signature FOUND$"])
    expect(r, "a container on standard input is unpacked", ["-"], 1,
           stdin=stored_zip(b"eicar.com", EICAR), out=[r"^stdin: Eicar-Test-Signature FOUND$"])
    os.mkfifo("named.fifo")
    writer = subprocess.Popen(["sh", "-c", "printf '%s' \"$1\" > named.fifo", "sh", EICAR.decode()],
                              cwd=r.work)
    expect(r, "a FIFO named on the command line is read", ["named.fifo"], 1,
           out=[r"^named.fifo: Eicar-Test-Signature FOUND$"])
    writer.wait(timeout=TIMEOUT)
    expect(r, "a missing temporary folder makes standard input an ERROR", ["--tempdir", "no/such", "-"],
           2, stdin=EICAR, out=[r"^stdin: cannot make the temporary folder: no/such: No such file or directory ERROR$"],
           reject=[r"stdin: OK"])


def status_cases(r):
    write("eicar.com", EICAR)
    write("clean.txt", b"plain text\n")
    expect(r, "clean gives 0", ["clean.txt"], 0, out=[r"^clean.txt: OK$"])
    expect(r, "found gives 1", ["eicar.com", "clean.txt"], 1, out=[r"^eicar.com: Eicar-Test-Signature FOUND$"])
    expect(r, "a missing path is an error with its reason, 2", ["clean.txt", "missing.txt"], 2,
           out=[r"^missing.txt: cannot examine the path: No such file or directory ERROR$", r"Errors: 1\n"])
    expect(r, "found outranks an error", ["missing.txt", "eicar.com"], 1)
    expect(r, "-r is accepted", ["-r", "clean.txt"], 0)
    expect(r, "-V prints each database file's stamp", ["-V"], 0,
           out=[r"^kyvscan 1\.05", r"^  main\.kyv: stamp \d+(\.\d+)? \(\d{4}-\d\d-\d\d\), 1 records$",
                r"^  extract\.kyv: stamp \d"])
    expect(r, "-V says why it could not load", ["-V", "--base", "no/such/base"], 2,
           out=[r"^kyvscan 1\.05", r"^Cannot scan: the folder does not exist$"])
    expect(r, "a bad option gives 2", ["--frobnicate", "clean.txt"], 2, err=[r"unknown option --frobnicate"])


def unprivileged_cases(r):
    """Permissions mean nothing to root: these run as nobody, on a copy of the program and its
    databases that nobody can reach."""
    try:
        pwd.getpwnam("nobody")
    except KeyError:
        print("skip unprivileged cases: no user nobody")
        return
    if os.geteuid() != 0:
        user = None  # already unprivileged
    else:
        user = "nobody"
    os.chmod(r.work, 0o755)
    os.chmod(r.tmp, 0o777)
    write("perm/eicar.com", EICAR)
    write("perm/secret.txt", b"cannot be read\n")
    write("perm/locked/inside.txt", b"cannot be reached\n")
    write("locked-top/inside.txt", b"cannot be reached\n")
    os.chmod("perm/secret.txt", 0)
    os.chmod("perm/locked", 0)
    os.chmod("locked-top", 0)
    for dirpath, dirs, files in os.walk(r.work):
        for d in dirs:
            path = os.path.join(dirpath, d)
            if os.stat(path).st_mode & 0o777:
                os.chmod(path, 0o755)
    expect(r, "an unreadable file and folder are errors with reasons; found still gives 1", ["perm"], 1,
           out=[r"^perm/secret.txt: cannot open the file: Permission denied ERROR$",
                r"^perm/locked: cannot read the folder: Permission denied ERROR$",
                r"^perm/eicar.com: Eicar-Test-Signature FOUND$", r"Errors: 2\n"], user=user)
    expect(r, "an unreadable top-level folder is an error, 2", ["locked-top"], 2,
           out=[r"^locked-top: cannot read the folder: Permission denied ERROR$", r"Errors: 1\n"],
           user=user)
    expect(r, "an unreadable file alone gives 2", ["perm/secret.txt"], 2, user=user)


def filter_cases(r):
    write("tree/a.txt", b"plain text\n")
    write("tree/b.eml", b"plain text\n")
    write("tree/skip/c.txt", b"plain text\n")
    write("tree/eicar.com", EICAR)
    expect(r, "--exclude skips files and folders", ["--exclude", r"/skip$", "--exclude", r"\.com$", "tree"], 0,
           out=[r"^tree/a.txt: OK", r"^tree/b.eml: OK"], reject=[r"c.txt", r"eicar"])
    expect(r, "--include keeps only matching files, folders still walked", ["--include", r"\.txt$", "tree"], 0,
           out=[r"^tree/a.txt: OK", r"^tree/skip/c.txt: OK", r"Scanned files: 2\n"], reject=[r"b.eml"])
    expect(r, "a bad regular expression is refused", ["--exclude", "(", "tree"], 2,
           err=[r"--exclude: not a regular expression"])
    write("list.txt", b"tree/a.txt\r\n\ntree/eicar.com\n")
    expect(r, "--file-list scans the listed paths", ["--file-list", "list.txt"], 1,
           out=[r"^tree/a.txt: OK", r"^tree/eicar.com: Eicar-Test-Signature FOUND"], reject=[r"b.eml"])
    expect(r, "--log appends the lines", ["--log", "scan.log", "tree/eicar.com", "nothing"], 1)
    with open(os.path.join(r.work, "scan.log"), encoding="utf-8") as f:
        logged = f.read()
    check("the log holds the result and error lines and the summary",
          "tree/eicar.com: Eicar-Test-Signature FOUND" in logged and "nothing: cannot examine" in logged
          and "Infected files: 1" in logged, logged)


def json_cases(r):
    odd = "odd \"name\"\\\x01\n.com"
    write(os.path.join("js", odd), EICAR)
    write("js/zip.zip", stored_zip(b"inner/eicar.com", EICAR))
    with open(b"js/not-utf8-\xff.txt", "wb") as f:
        f.write(b"plain text\n")
    stdout = expect(r, "--json gives one object a line", ["--json", "js", "js/missing"], 1)
    try:
        objects = [json.loads(line) for line in stdout.splitlines()]
    except ValueError as e:
        check("--json lines parse", False, "%s\n%s" % (e, stdout))
        return
    by_path = {o["path"]: o for o in objects}
    check("--json: four objects", len(objects) == 4, stdout)
    check("--json: a name that is not UTF-8 stays valid JSON",
          by_path.get("js/not-utf8-\ufffd.txt", {}).get("verdict") == "clean", stdout)
    odd_result = by_path.get("js/" + odd, {})
    check("--json: control characters and quotes round-trip", odd_result.get("verdict") == "infected"
          and odd_result.get("names") == ["Eicar-Test-Signature"], stdout)
    check("--json: control characters are escaped as \\uXXXX", "\\u0001" in stdout and "\\n" not in stdout.replace("\\\\", ""), stdout)
    zipped = by_path.get("js/zip.zip", {})
    chain = zipped.get("findings", [{}])[0].get("chain")
    check("--json: the finding carries its chain",
          chain == [{"container": "ZIP", "member": "inner/eicar.com"}], stdout)
    missing = by_path.get("js/missing", {})
    check("--json: an error object with its reason", missing.get("verdict") == "error"
          and "No such file or directory" in (missing.get("error") or ""), stdout)


def escape_cases(r):
    # A member name that clears the screen, breaks the line and forges a result line of its own,
    # and a file name with a C1 control (CSI, U+009B, which some terminals obey): the plain
    # output writes the controls out, --json round-trips the name exactly.
    name = b"evil\x1b[2J\r\nesc/forged.txt: OK\x07.com"
    write("esc/hostile.zip", stored_zip(name, EICAR))
    with open(b"esc/csi-\xc2\x9b2J.com", "wb") as f:
        f.write(EICAR)
    stdout = expect(r, "--chain writes control characters in names out", ["--chain", "--no-summary", "esc"], 1,
                    out=[r"^esc/hostile\.zip: Eicar-Test-Signature FOUND$",
                         r"^  Eicar-Test-Signature in esc/hostile\.zip/\{ZIP\}/evil\\x1B\[2J\\x0D\\x0Aesc/forged\.txt: OK\\x07\.com$",
                         r"^esc/csi-\\u009B2J\.com: Eicar-Test-Signature FOUND$"])
    check("--chain: no control character reaches the terminal",
          not re.search("[\x00-\x09\x0b-\x1f\x7f\x80-\x9f]", stdout) and len(stdout.splitlines()) == 4,
          repr(stdout))
    stdout = expect(r, "--json encodes control characters in member names", ["--json", "esc/hostile.zip"], 1)
    try:
        member = json.loads(stdout)["findings"][0]["chain"][0]["member"]
    except (ValueError, KeyError, IndexError) as e:
        member = "unparsed: %s" % e
    check("--json: the member name round-trips", member == name.decode("ascii"), stdout)


def limit_cases(r):
    """Files cut short by a limit are counted, noted and, when asked, reported as found; a
    container whose members cannot be written is an error, never OK."""
    write("lim/nested.zip", stored_zip(b"inner.zip", stored_zip(b"eicar.com", EICAR)))
    write("lim/many.zip", zip_of([(b"a.txt", b"plain a\n"), (b"b.txt", b"plain b\n"),
                                  (b"eicar.com", EICAR)]))
    write("lim/big.zip", stored_zip(b"big.txt", b"plain text\n" * 1000))
    write("lim/clean.txt", b"plain text\n")
    expect(r, "the default limits find what is nested and many", ["lim"], 1,
           out=[r"^lim/nested.zip: Eicar-Test-Signature FOUND$", r"^lim/many.zip: Eicar-Test-Signature FOUND$",
                r"^lim/big.zip: OK$", r"Not fully scanned: 0\n"])
    expect(r, "--max-depth cuts nesting: noted and counted, still OK", ["--max-depth", "1", "lim/nested.zip",
                                                                         "lim/clean.txt"], 0,
           out=[r"^lim/nested.zip: OK$", r"Not fully scanned: 1\n", r"Scanned files: 2\n"],
           err=[r"^lim/nested.zip: not fully scanned: containers nested deeper than 1 in "
                r"lim/nested.zip/\{ZIP\}/inner.zip$"])
    expect(r, "--max-files cuts members", ["--max-files=2", "lim/many.zip"], 0,
           out=[r"^lim/many.zip: OK$", r"Not fully scanned: 1\n"], err=[r"more than 2 members"])
    expect(r, "--max-scansize cuts bytes (K suffix)", ["--max-scansize", "1K", "lim/big.zip"], 0,
           out=[r"^lim/big.zip: OK$", r"Not fully scanned: 1\n"], err=[r"more than 1024 bytes unpacked"])
    expect(r, "--alert-exceeds-max reports each limit as found", ["--alert-exceeds-max", "--max-depth", "1",
                                                                  "--max-files", "2", "--max-scansize", "1024",
                                                                  "lim"], 1,
           out=[r"^lim/nested.zip: Heuristics.Limits.Exceeded.MaxRecursion FOUND$",
                r"^lim/many.zip: Heuristics.Limits.Exceeded.MaxFiles FOUND$",
                r"^lim/big.zip: Heuristics.Limits.Exceeded.MaxScanSize FOUND$",
                r"^lim/clean.txt: OK$", r"Infected files: 3\n", r"Not fully scanned: 3\n"])
    expect(r, "a finding is kept when a limit is also reached", ["--alert-exceeds-max", "--max-files", "3",
                                                                 "lim/many.zip", "lim/nested.zip"], 1,
           out=[r"^lim/many.zip: Eicar-Test-Signature FOUND$", r"^lim/nested.zip: Eicar-Test-Signature FOUND$"])
    # A message past the size a message is read whole up to is scanned but not unpacked: said.
    with open("lim/huge.eml", "wb") as f:
        f.write(b"From: a@b\r\nSubject: huge\r\nMIME-Version: 1.0\r\n"
                b"Content-Type: text/plain\r\n\r\nhello\r\n")
        f.truncate(600 << 20)
    expect(r, "a message over 512 MiB is noted as not unpacked", ["lim/huge.eml"], 0,
           out=[r"^lim/huge.eml: OK$", r"Not fully scanned: 1\n"],
           err=[r"^lim/huge.eml: not fully scanned: a message larger than 512 MiB is not unpacked"])
    os.remove("lim/huge.eml")
    stdout = expect(r, "--json names what kept the scan from being complete",
                    ["--json", "--max-depth", "1", "lim/nested.zip"], 0)
    try:
        gaps = json.loads(stdout.splitlines()[0]).get("incomplete")
    except (ValueError, IndexError):
        gaps = None
    check("--json: the limit, where it was reached and why",
          gaps == [{"kind": "MaxRecursion", "chain": [{"container": "ZIP", "member": "inner.zip"}],
                    "reason": "containers nested deeper than 1"}], stdout)
    for bad in (["--max-files", "x"], ["--max-depth", "65"], ["--max-scansize", "10X"],
                ["--max-scansize", "99999999999999999999"], ["--max-depth"]):
        expect(r, "%s is refused" % " ".join(bad), bad + ["lim/clean.txt"], 2, err=[bad[0]])
    # Members go to the temporary folder; when it cannot be made they are not scanned.
    expect(r, "a container whose members cannot be written is an ERROR", ["--tempdir", "no/such", "lim/many.zip",
                                                                          "lim/clean.txt"], 2,
           out=[r"^lim/many.zip: a member could not be written to be scanned: cannot create [^\n]*: "
                r"No such file or directory in lim/many.zip \(member a.txt\) ERROR$", r"^lim/clean.txt: OK$",
                r"Errors: 1\n"], reject=[r"many.zip: OK"])
    expect(r, "... but what was found still counts", ["--tempdir", "no/such", "eicar.com"], 1,
           out=[r"^eicar.com: Eicar-Test-Signature FOUND$"])


def sevenzip_cases(r):
    """7z as mail brings it: a payload in a 7z, a zip in a 7z in a message, and an encrypted 7z
    that must not pass as clean. Made by 7zz; skipped without it."""
    if not shutil.which("7zz"):
        print("skip 7z: 7zz not installed")
        return
    write("sz/in/eicar.com", EICAR)
    write("sz/in/readme.txt", b"nothing here\n" * 100)
    write("sz/in/inner.zip", stored_zip(b"eicar.com", EICAR))
    for name, opts in (("plain.7z", []), ("solid-bcj2.7z", ["-mf=BCJ2"]), ("aes.7z", ["-psecret", "-mhe=on"])):
        subprocess.run(["7zz", "a", "-bd", "-bso0"] + opts + ["../" + name, "eicar.com", "readme.txt"],
                       cwd="sz/in", check=True)
    subprocess.run(["7zz", "a", "-bd", "-bso0", "../zip-in.7z", "inner.zip", "readme.txt"], cwd="sz/in", check=True)
    with open("sz/zip-in.7z", "rb") as f:
        attachment = base64.encodebytes(f.read())
    write("sz/mail.eml", b"From: a@b\r\nSubject: 7z\r\nMIME-Version: 1.0\r\n"
          b"Content-Type: multipart/mixed; boundary=XX\r\n\r\n--XX\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
          b"--XX\r\nContent-Type: application/x-7z-compressed; name=a.7z\r\n"
          b"Content-Transfer-Encoding: base64\r\n\r\n" + attachment + b"--XX--\r\n")
    expect(r, "a payload in a 7z is found", ["sz/plain.7z", "sz/solid-bcj2.7z"], 1,
           out=[r"^sz/plain.7z: Eicar-Test-Signature FOUND$", r"^sz/solid-bcj2.7z: Eicar-Test-Signature FOUND$"])
    expect(r, "a zip in a 7z in a message is found", ["--chain", "sz/mail.eml"], 1,
           out=[r"^sz/mail.eml: Eicar-Test-Signature FOUND$",
                r"\{E-MAIL:base64\}/[^/]+/\{7Z\}/inner.zip/\{ZIP\}/eicar.com$"])
    expect(r, "an encrypted 7z is not fully scanned", ["sz/aes.7z"], 0,
           out=[r"^sz/aes.7z: OK$", r"Not fully scanned: 1\n"], err=[r"sz/aes.7z: not fully scanned: .*encrypted"])


def rar_module_cases(r, kyvdb):
    # A BASE whose RAR module cannot come up on this system (a damaged record stands for a
    # Windows module in a Linux BASE): kyvscan starts, warns, and still scans.
    if not kyvdb:
        print("skip rar module: no kyvdb")
        return
    shutil.copytree("BASE", "BASE-norar")
    write("norar/module.bin", b"MZ but no module for this system")
    made = subprocess.run([kyvdb, "pack-code", "-o", "BASE-norar/extract.kyv", "UNRAR=norar/module.bin"],
                          capture_output=True)
    check("kyvdb packs the damaged module", made.returncode == 0, made.stderr.decode("utf-8", "replace"))
    write("norar/eicar.com", EICAR)
    expect(r, "a RAR module that cannot come up is warned of at start",
           ["--base", "BASE-norar", "norar/eicar.com"], 1,
           out=[r"eicar\.com: Eicar-Test-Signature FOUND"],
           err=[r"^kyvscan: warning: the RAR module in .*extract\.kyv cannot be loaded: .+; "
                r"RAR archives are not unpacked$"])
    expect(r, "the bundled BASE brings its RAR module up without a warning", ["norar/eicar.com"], 1,
           reject=[r"RAR module"])


def memory_cases(r):
    """Out of memory is an error with its reason, never a crash or a quiet OK: with the address
    space cut to 10 MB the databases (or the scan) cannot get what they need."""
    with open(r.kyvscan, "rb") as f:
        if b"__asan_init" in f.read():
            print("skip memory: sanitizer builds reserve more address space than any limit allows")
            return
    write("mem/clean.txt", b"plain text\n")
    limit = 10 * 1000 * 1000

    def cap():
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    run = subprocess.run([r.kyvscan, "mem/clean.txt"], cwd=r.work, capture_output=True,
                         timeout=TIMEOUT, env=dict(os.environ, TMPDIR=r.tmp), preexec_fn=cap)
    stderr = run.stderr.decode("utf-8", "replace")
    check("memory: exit 2 with the reason, no crash, nothing left",
          run.returncode == 2 and re.search(r"not enough memory|out of memory", stderr)
          and "terminate" not in stderr and b": OK" not in run.stdout and not os.listdir(r.tmp),
          "status %s\n--- stdout\n%s--- stderr\n%s" % (run.returncode,
                                                      run.stdout.decode("utf-8", "replace"), stderr))


def signal_cases(r):
    """A signal in the middle of a large scan: the scan's temporary folder goes with it."""
    zeros_zip(os.path.join(r.work, "zeros.zip"), 1024)
    for signo in (signal.SIGTERM, signal.SIGINT):
        environment = dict(os.environ, TMPDIR=r.tmp)
        scan = subprocess.Popen([r.kyvscan, "zeros.zip"], cwd=r.work, env=environment,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + TIMEOUT
        written = 0
        while time.monotonic() < deadline and scan.poll() is None and written < (8 << 20):
            written = sum(os.path.getsize(os.path.join(d, f))
                          for d, _, files in os.walk(r.tmp) for f in files
                          if os.path.exists(os.path.join(d, f)))
            time.sleep(0.02)
        was_running = scan.poll() is None
        scan.send_signal(signo)
        try:
            code = scan.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            scan.kill()
            code = scan.wait()
        left = os.listdir(r.tmp)
        check("%s during a large scan leaves nothing behind" % signal.Signals(signo).name,
              was_running and written >= (8 << 20) and code == -signo and not left,
              "running when signalled %s, %d bytes seen, status %s, left %s"
              % (was_running, written, code, left))
        for name in left:
            shutil.rmtree(os.path.join(r.tmp, name), ignore_errors=True)


def xz_cases(r):
    """xz and .lzma files are one member each, at the top and around a zip; a failed check is
    noted beside what was found; a bomb ends at the budget."""
    write("xz/eicar.com.xz", lzma.compress(EICAR, check=lzma.CHECK_CRC64))
    write("xz/eicar.com.lzma", lzma.compress(EICAR, format=lzma.FORMAT_ALONE))
    write("xz/zip.xz", lzma.compress(stored_zip(b"eicar.com", EICAR), check=lzma.CHECK_SHA256))
    bad = bytearray(lzma.compress(EICAR, check=lzma.CHECK_CRC32))
    bad[-12 - 8 - 1] ^= 0x20  # the block's CRC-32, before the 8-byte index and the footer
    write("xz/bad-check.xz", bytes(bad))
    write("xz/zeros.xz", lzma.compress(bytes(64 << 20), preset=1))
    expect(r, "xz, .lzma and a zip in an xz are found", ["-c", "xz/eicar.com.xz", "xz/eicar.com.lzma",
                                                          "xz/zip.xz"], 1,
           out=[r"^xz/eicar.com.xz: Eicar-Test-Signature FOUND$", r"^xz/eicar.com.lzma: Eicar-Test-Signature FOUND$",
                r"^xz/zip.xz: Eicar-Test-Signature FOUND$", r"xz/zip.xz/\{XZ\}/zip/\{ZIP\}/eicar.com",
                r"Not fully scanned: 0\n"])
    expect(r, "a failed xz check is noted, what was decoded still scanned", ["xz/bad-check.xz"], 1,
           out=[r"^xz/bad-check.xz: Eicar-Test-Signature FOUND$", r"Not fully scanned: 1\n"],
           err=[r"CRC-32 mismatch"])
    expect(r, "64 MiB of zeros in an xz ends at --max-scansize", ["--max-scansize", "1M", "xz/zeros.xz"], 0,
           out=[r"^xz/zeros.xz: OK$", r"Not fully scanned: 1\n"], err=[r"more than 1048576 bytes unpacked"])


def pdf_cases(r):
    """A file attached to a document, to one encrypted with the empty user password, to such a
    document in a zip in a message, and a document locked by a user password (noted as not fully
    scanned)."""
    if not shutil.which("qpdf"):
        print("SKIP pdf: qpdf not installed")
        return
    write("pdf/eicar.com", EICAR)
    subprocess.run(["qpdf", "--empty", "--add-attachment", "pdf/eicar.com", "--", "pdf/attached.pdf"], check=True)
    subprocess.run(["qpdf", "--object-streams=generate", "pdf/attached.pdf", "pdf/packed.pdf"], check=True)
    subprocess.run(["qpdf", "--encrypt", "user", "owner", "256", "--", "pdf/attached.pdf", "pdf/locked.pdf"],
                   check=True)
    # Encrypted with the empty user password, as documents that only restrict printing are.
    subprocess.run(["qpdf", "--encrypt", "", "owner", "256", "--", "pdf/attached.pdf", "pdf/aes256.pdf"], check=True)
    message = email.message.EmailMessage()
    message["From"] = "a@example.org"
    message["To"] = "b@example.org"
    message["Subject"] = "report"
    message.set_content("see the attachment")
    with open("pdf/attached.pdf", "rb") as f:
        message.add_attachment(zip_of([(b"report.pdf", f.read())]), maintype="application",
                               subtype="zip", filename="report.zip")
    write("pdf/message.eml", message.as_bytes())
    expect(r, "an attached file, in a document and in one inside a zip in a message, is found",
           ["-c", "pdf/attached.pdf", "pdf/packed.pdf", "pdf/aes256.pdf", "pdf/message.eml"], 1,
           out=[r"^pdf/attached.pdf: Eicar-Test-Signature FOUND$", r"pdf/attached.pdf/\{PDF\}/eicar.com",
                r"^pdf/packed.pdf: Eicar-Test-Signature FOUND$",
                r"^pdf/aes256.pdf: Eicar-Test-Signature FOUND$", r"pdf/aes256.pdf/\{PDF\}/eicar.com",
                # A stored zip shows the document's mark in its first kilobyte, so it is read as a
                # document as well: viewers open such a file.
                r"^pdf/message.eml: Eicar-Test-Signature(,Eicar-Test-Signature)? FOUND$",
                r"\{ZIP\}/report.pdf/\{PDF\}/eicar.com", r"Not fully scanned: 0\n"])
    expect(r, "a document locked by a user password is noted", ["pdf/locked.pdf"], 0,
           out=[r"^pdf/locked.pdf: OK$", r"Not fully scanned: 1\n"],
           err=[r"^pdf/locked.pdf: not fully scanned: .*encrypted"])
    # A stream whose deflate data stops after a block that is not the last one: what decoded is
    # scanned, and the rest is not silently taken for clean.
    cut = b"\x78\x01\x00" + struct.pack("<HH", len(EICAR), len(EICAR) ^ 0xFFFF) + EICAR
    write("pdf/cut.pdf", b"%PDF-1.4\n1 0 obj\n<< /Length " + str(len(cut)).encode() +
          b" /Filter /FlateDecode >>\nstream\n" + cut + b"\nendstream\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n")
    expect(r, "a cut compressed stream is noted, what decoded still scanned", ["pdf/cut.pdf"], 1,
           out=[r"^pdf/cut.pdf: Eicar-Test-Signature FOUND$", r"Not fully scanned: 1\n"],
           err=[r"^pdf/cut.pdf: not fully scanned: .*damaged compressed data"])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kyvscan", required=True)
    ap.add_argument("--base", required=True)
    ap.add_argument("--kyvdb", help="builds a BASE whose RAR module cannot come up")
    ap.add_argument("--only", help="run only the case groups named (comma-separated)")
    args = ap.parse_args()
    if args.kyvdb:
        args.kyvdb = os.path.abspath(args.kyvdb)
    work = tempfile.mkdtemp(prefix="kyvscan-cli-")
    try:
        # The program beside a copy of its databases, readable by everyone, in a folder an
        # unprivileged user can reach whoever built it.
        program = os.path.join(work, "kyvscan")
        shutil.copy(args.kyvscan, program)
        shutil.copytree(args.base, os.path.join(work, "BASE"))
        for name in os.listdir(os.path.join(work, "BASE")):
            os.chmod(os.path.join(work, "BASE", name), 0o644)
        os.chmod(os.path.join(work, "BASE"), 0o755)
        os.chdir(work)
        runner = Runner(program, work)
        groups = {"walk": walk_cases, "stream": stream_cases, "status": status_cases,
                  "unprivileged": unprivileged_cases, "filter": filter_cases, "json": json_cases,
                  "escape": escape_cases, "limits": limit_cases, "memory": memory_cases,
                  "signal": signal_cases, "xz": xz_cases, "sevenzip": sevenzip_cases,
                  "pdf": pdf_cases,
                  "rarmodule": lambda runner: rar_module_cases(runner, args.kyvdb)}
        for name, group in groups.items():
            if args.only and name not in args.only.split(","):
                continue
            group(runner)
    finally:
        for dirpath, dirs, _ in os.walk(work):
            for d in dirs:
                os.chmod(os.path.join(dirpath, d), 0o755)
        shutil.rmtree(work, ignore_errors=True)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
