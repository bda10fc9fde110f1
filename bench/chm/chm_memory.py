#!/usr/bin/env python3
"""Peak memory and findings of kyvscan on compiled-help files whose sections declare far more
than they hold, and (with --large) on an honest one with 800 MiB of other content.

    chm_memory.py KYVSCAN... [--base DIR] [--large]

Files are made with Free Pascal's chmcmd in a temporary folder, then patched where said:
  declared.chm  1.5 MB of incompressible content and the EICAR test file; the section's reset
                table declares 768 MiB
  nested.chm    four compiled-help files inside each other, the EICAR file innermost, every
                section declaring 256 MiB
  honest.chm    (--large) 800 MiB of text and programs, the EICAR file stored last; nothing
                patched
For each the script prints whether kyvscan found the EICAR file, the elapsed time and the peak
resident memory of the kyvscan process; given the kyvscan of several builds, it runs each on the
same files.
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
RESET_TABLE = ("::DataSpace/Storage/MSCompressed/Transform/"
               "{7FC28940-9D31-11D0-9B27-00A0C91E9C7C}/InstanceData/ResetTable")


def encint(data, pos):
    value = 0
    while True:
        b = data[pos]
        pos += 1
        value = (value << 7) | (b & 0x7F)
        if b < 0x80:
            return value, pos


def entries(data):
    """The directory entries of a CHM: name -> (section, offset, length)."""
    directory = struct.unpack_from("<Q", data, 72)[0]
    chunk_size = struct.unpack_from("<I", data, directory + 16)[0]
    chunks = struct.unpack_from("<i", data, directory + 44)[0]
    found = {}
    for c in range(chunks):
        start = directory + 84 + c * chunk_size
        chunk = data[start:start + chunk_size]
        if chunk[:4] != b"PMGL":
            continue
        end = chunk_size - struct.unpack_from("<I", chunk, 4)[0]
        pos = 20
        while pos < end:
            n, pos = encint(chunk, pos)
            name = chunk[pos:pos + n].decode("utf-8", "replace")
            pos += n
            section, pos = encint(chunk, pos)
            offset, pos = encint(chunk, pos)
            length, pos = encint(chunk, pos)
            found[name] = (section, offset, length)
    return found


def declare(path, length):
    """Makes the reset table of the file's compressed section declare `length` decoded bytes."""
    data = bytearray(open(path, "rb").read())
    content = struct.unpack_from("<Q", data, 88)[0]
    _, offset, _ = entries(data)[RESET_TABLE]
    struct.pack_into("<Q", data, content + offset + 16, length)
    open(path, "wb").write(data)


def chmcmd(folder, files):
    """files: name -> bytes. Returns the path of the CHM made of them, in that order."""
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    project = ("[OPTIONS]\nCompiled file=out.chm\nDefault topic=index.html\nTitle=t\n\n[FILES]\n" +
               "".join(name + "\n" for name in files))
    with open(os.path.join(folder, "p.hhp"), "w") as f:
        f.write(project)
    subprocess.run(["chmcmd", "--no-html-scan", "p.hhp"], cwd=folder, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.path.join(folder, "out.chm")


def text(rng, size):
    words = [b"alpha", b"beta", b"gamma", b"delta", b"window", b"frame", b"help", b"topic",
             b"index", b"search", b"table", b"mail", b"archive", b"section", b"virus"]
    piece = b" ".join(rng.choice(words) for _ in range(200000)) + b"\n"
    return (piece * (size // len(piece) + 1))[:size]


def make_declared(work):
    rng = random.Random(1)
    files = {"index.html": b"<html><body>declared</body></html>\n",
             "noise.bin": bytes(rng.getrandbits(8) for _ in range(1500000)),
             "eicar.com": EICAR}
    path = chmcmd(os.path.join(work, "declared"), files)
    declare(path, 768 << 20)
    return path


def make_nested(work):
    rng = random.Random(2)
    inner = EICAR
    name = "eicar.com"
    for level in range(4):
        files = {"index.html": b"<html><body>level</body></html>\n",
                 "noise.bin": bytes(rng.getrandbits(8) for _ in range(1100000)),
                 name: inner}
        path = chmcmd(os.path.join(work, "nested%d" % level), files)
        declare(path, 256 << 20)
        inner = open(path, "rb").read()
        name = "level%d.chm" % level
    return path


def make_honest(work):
    rng = random.Random(3)
    files = {"index.html": b"<html><body>large</body></html>\n"}
    programs = [p for p in ("/usr/bin/cmake", "/usr/bin/gdb", "/usr/bin/python3") if os.path.exists(p)]
    total = 0
    k = 0
    while total < 800 << 20:
        if k % 4 == 3 and programs:
            data = open(programs[k % len(programs)], "rb").read()[:64 << 20]
        else:
            data = text(rng, 40 << 20)
        files["part%03d.bin" % k] = data
        total += len(data)
        k += 1
    files["zz-eicar.com"] = EICAR
    return chmcmd(os.path.join(work, "honest"), files)


def scan(kyvscan, base, path):
    """Runs kyvscan on path under /usr/bin/time (a small parent, so that the figure is kyvscan's
    alone); returns (found, seconds, peak resident MiB)."""
    args = [kyvscan, "--no-summary"] + (["--base", base] if base else []) + [path]
    start = time.monotonic()
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + args, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    seconds = time.monotonic() - start
    peak_kib = int(done.stderr.strip().splitlines()[-1])
    return "FOUND" in done.stdout, seconds, peak_kib / 1024.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("kyvscan", nargs="+")
    parser.add_argument("--base")
    parser.add_argument("--large", action="store_true", help="also the honest 800 MiB file")
    args = parser.parse_args()
    if shutil.which("chmcmd") is None or not os.path.exists("/usr/bin/time"):
        sys.exit("chmcmd (Debian package fp-utils) and /usr/bin/time (package time) are needed")
    work = tempfile.mkdtemp(prefix="chm_memory_")
    try:
        cases = [("declared.chm (768 MiB declared)", make_declared(work)),
                 ("nested.chm (4 levels, 256 MiB each)", make_nested(work))]
        if args.large:
            cases.append(("honest.chm (800 MiB of content)", make_honest(work)))
        for label, path in cases:
            for kyvscan in args.kyvscan:
                found, seconds, peak = scan(os.path.abspath(kyvscan), args.base, path)
                print("%-38s %8.1f MB file  %-9s %7.2f s  peak %8.1f MiB  %s" %
                      (label, os.path.getsize(path) / 1e6, "found" if found else "NOT FOUND", seconds,
                       peak, kyvscan), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
