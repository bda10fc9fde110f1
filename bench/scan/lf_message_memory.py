#!/usr/bin/env python3
"""Peak memory and findings of kyvscan on a large message whose text part has bare LF line
ends, with an attachment before and one after it.

    lf_message_memory.py KYVSCAN... [--base DIR] [--mib N]

The message (N MiB, default 300) is written to a temporary folder: a base64 attachment holding
the EICAR test file, then a plain text part of N MiB of LF-only lines, then a quoted-printable
part and a second base64 copy of the EICAR file. The 32-bit plug-in has about 2 GB of address
space in all, so what matters is how many times the message's size a scan holds at once. For
each kyvscan given (several builds side by side) the script prints whether the EICAR file was
found, the elapsed time and the peak resident memory.
"""
import argparse
import base64
import os
import shutil
import subprocess
import sys
import tempfile
import time

EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def write_message(path, mib):
    line = b"an ordinary line of a very long letter, ended the Unix way\n"
    block = line * (1 << 20 // len(line) + 1)
    with open(path, "wb") as f:
        f.write(b"From: a@example.org\r\nTo: b@example.org\r\nSubject: long\r\nMIME-Version: 1.0\r\n"
                b"Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n")
        f.write(b"--B\r\nContent-Type: application/octet-stream; name=first.com\r\n"
                b"Content-Transfer-Encoding: base64\r\n\r\n" + base64.b64encode(EICAR) + b"\r\n")
        f.write(b"--B\nContent-Type: text/plain\n\n")
        written = 0
        while written < mib << 20:
            f.write(block)
            written += len(block)
        f.write(b"--B\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                b"caf=C3=A9 =\r\nsoft\r\n")
        f.write(b"--B\r\nContent-Type: application/octet-stream; name=last.com\r\n"
                b"Content-Transfer-Encoding: base64\r\n\r\n" + base64.b64encode(EICAR) + b"\r\n--B--\r\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kyvscan", nargs="+")
    ap.add_argument("--base")
    ap.add_argument("--mib", type=int, default=300)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="lf-message-")
    try:
        path = os.path.join(work, "long.eml")
        write_message(path, args.mib)
        print("message: %.0f MiB" % (os.path.getsize(path) / 2**20))
        for program in args.kyvscan:
            command = ["/usr/bin/time", "-f", "%M", program, "--chain"]
            if args.base:
                command += ["--base", args.base]
            started = time.monotonic()
            run = subprocess.run(command + [path], capture_output=True, text=True)
            elapsed = time.monotonic() - started
            peak_kib = int(run.stderr.strip().splitlines()[-1])
            found = "FOUND" in run.stdout
            print("%s: %s, %.1f s, peak %.0f MiB (%.2f x the message)" % (
                program, "found" if found else "NOT FOUND (exit %d)" % run.returncode, elapsed,
                peak_kib / 1024, peak_kib * 1024 / os.path.getsize(path)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
