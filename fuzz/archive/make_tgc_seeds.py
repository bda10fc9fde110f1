#!/usr/bin/env python3
"""Writes the seed corpora of tar_fuzzer, gzip_fuzzer and cab_fuzzer: small archives made with
Python's tarfile and gzip modules and a hand-built stored cabinet; an MSZIP cabinet from gcab
when it is installed."""
import gzip, io, os, struct, subprocess, tarfile, tempfile, zlib

HERE = os.path.dirname(os.path.abspath(__file__))

def out(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)

def tar_seed(fmt):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=fmt) as t:
        def add(name, data=b"", kind=tarfile.REGTYPE, link=""):
            info = tarfile.TarInfo(name)
            info.type, info.size, info.linkname, info.mtime = kind, len(data), link, 1700000000
            t.addfile(info, io.BytesIO(data) if data else None)
        add("dir/", kind=tarfile.DIRTYPE)
        add("dir/a.txt", b"alpha " * 20)
        add("d" * 70 + "/" + "f" * 60 + ".txt", b"long name")
        add("sym", kind=tarfile.SYMTYPE, link="dir/a.txt")
        add("hard", kind=tarfile.LNKTYPE, link="dir/a.txt")
        add("b.bin", bytes(range(256)) * 3)
    return buf.getvalue()

def gzip_flags(payload, name, comment, extra):
    head = b"\x1f\x8b\x08\x1e" + struct.pack("<I", 1700000000) + b"\x00\x03"
    head += struct.pack("<H", len(extra)) + extra + name + b"\0" + comment + b"\0"
    head += struct.pack("<H", zlib.crc32(head) & 0xFFFF)
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = c.compress(payload) + c.flush()
    return head + body + struct.pack("<II", zlib.crc32(payload), len(payload))

def cab_stored(files):
    # Header, one uncompressed folder, the file table, one data block (checksum 0 = none).
    data = b"".join(d for _, d in files)
    table, off = b"", 0
    for n, d in files:
        table += struct.pack("<IIHHHH", len(d), off, 0, 0x5A21, 0x6000, 0x20) + n + b"\0"
        off += len(d)
    files_off = 36 + 8
    data_off = files_off + len(table)
    block = struct.pack("<IHH", 0, len(data), len(data)) + data
    size = data_off + len(block)
    head = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, size, 0, files_off, 0, 3, 1, 1, len(files), 0, 0x1234, 0)
    folder = struct.pack("<IHH", data_off, 1, 0)
    return head + folder + table + block

for fmt, name in ((tarfile.GNU_FORMAT, "gnu.tar"), (tarfile.USTAR_FORMAT, "ustar.tar"),
                  (tarfile.PAX_FORMAT, "pax.tar")):
    out("tar_fuzzer", name, tar_seed(fmt))

payload = b"".join(b"%d," % (i * 7919 % 1000) for i in range(2000))
out("gzip_fuzzer", "named.gz", gzip.compress(payload, mtime=0))
out("gzip_fuzzer", "allflags.gz", gzip_flags(payload, b"inner.txt", b"a comment", b"AB\x04\x00wxyz"))
out("gzip_fuzzer", "empty.gz", gzip.compress(b"", mtime=0))
out("gzip_fuzzer", "tar.gz", gzip.compress(tar_seed(tarfile.GNU_FORMAT), mtime=0))

out("cab_fuzzer", "stored.cab", cab_stored([(b"hello.txt", b"hello, cabinet"),
                                            (b"sub\\b.bin", bytes(range(256)) * 4)]))
try:
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, "text.txt"), "wb") as f:
            f.write(payload)
        subprocess.run(["gcab", "-c", "-n", "-z", "m.cab", "text.txt"], cwd=d, check=True)
        with open(os.path.join(d, "m.cab"), "rb") as f:
            out("cab_fuzzer", "mszip.cab", f.read())
except (OSError, subprocess.CalledProcessError):
    print("gcab not available: no MSZIP seed")
