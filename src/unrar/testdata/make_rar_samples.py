#!/usr/bin/env python3
"""Writes the small RAR samples in this folder (test data and fuzz seeds) with a tiny encoder
of our own, so no archiver is needed: stored members in both formats, and compressed members
with complete canonical Huffman codes of two neighbouring lengths per table.

    stored4.rar  old format, one stored member "hello.txt"
    stored5.rar  RAR 5, one stored member "hello.txt"
    lz29.rar     old format, unpack version 29, literals and repeat matches of "abcabcabc..."
    lz5.rar      RAR 5, method 3, the same text
    blake5.rar   RAR 5, one stored member checked by BLAKE2sp instead of CRC-32
"""
import hashlib
import struct
import zlib

TEXT = b"abc" * 40 + b"\n"


class Bits:
    def __init__(self):
        self.bits = []

    def put(self, value, n):
        for i in range(n - 1, -1, -1):
            self.bits.append((value >> i) & 1)

    def bytes(self):
        out = bytearray()
        for i in range(0, len(self.bits), 8):
            chunk = self.bits[i:i + 8] + [0] * (8 - len(self.bits[i:i + 8]))
            out.append(int("".join(map(str, chunk)), 2))
        return bytes(out)


def vint(v):
    out = bytearray()
    while True:
        b = v & 0x7F
        v >>= 7
        out.append(b | (0x80 if v else 0))
        if not v:
            return bytes(out)


def block5(body):
    """RAR 5 header block: CRC32, size, then body (type, flags, ...)."""
    size = vint(len(body))
    return struct.pack("<I", zlib.crc32(size + body)) + size + body


def blake2sp(data):
    """BLAKE2sp: 64-byte blocks dealt round robin to 8 leaves, their digests hashed by a root."""
    leaves = []
    for i in range(8):
        part = b"".join(data[k:k + 64] for k in range(i * 64, len(data), 512))
        leaves.append(hashlib.blake2s(part, fanout=8, depth=2, node_offset=i, node_depth=0,
                                      inner_size=32, last_node=(i == 7)).digest())
    return hashlib.blake2s(b"".join(leaves), fanout=8, depth=2, node_offset=0, node_depth=1,
                           inner_size=32, last_node=True).digest()


def rar5(name, data, packed, method, use_blake2=False):
    sig = b"Rar!\x1a\x07\x01\x00"
    main = block5(vint(1) + vint(0) + vint(0))
    info = method << 7  # algorithm 0, not solid, dictionary 128 KiB
    if use_blake2:
        record = vint(2) + vint(0) + blake2sp(data)  # hash record, type 0: BLAKE2sp
        extra = vint(len(record)) + record
        fields = (vint(0) + vint(len(data)) + vint(0x20) + vint(info) + vint(1) +
                  vint(len(name)) + name + extra)
        file_hdr = block5(vint(2) + vint(0x3) + vint(len(extra)) + vint(len(packed)) + fields)
        end = block5(vint(5) + vint(0) + vint(0))
        return sig + main + file_hdr + packed + end
    fields = (vint(0x4) + vint(len(data)) + vint(0x20) + struct.pack("<I", zlib.crc32(data)) +
              vint(info) + vint(1) + vint(len(name)) + name)
    file_hdr = block5(vint(2) + vint(0x2) + vint(len(packed)) + fields)
    end = block5(vint(5) + vint(0) + vint(0))
    return sig + main + file_hdr + packed + end


def block4(htype, flags, body, add=b""):
    size = 7 + len(body)
    hdr = struct.pack("<BHH", htype, flags, size) + body
    return struct.pack("<H", zlib.crc32(hdr) & 0xFFFF) + hdr + add


def rar4(name, data, packed, unp_ver, method):
    sig = b"Rar!\x1a\x07\x00"
    main = block4(0x73, 0, b"\x00" * 6)
    body = struct.pack("<IIBIIBBHI", len(packed), len(data), 3, zlib.crc32(data), 0, unp_ver,
                       method, len(name), 0o100644) + name
    file_hdr = block4(0x74, 0x8000, body, packed)
    end = block4(0x7B, 0x4000, b"")
    return sig + main + file_hdr + end


def complete_lengths(n):
    """Lengths of a complete code for n symbols: the shortest two lengths that fit."""
    bits = max(1, (n - 1).bit_length())
    short = (1 << bits) - n
    return [bits - 1] * short + [bits] * (n - short)


def canonical(lengths):
    """Canonical codes: by length, then by symbol."""
    codes, code = {}, 0
    for length in range(1, 16):
        for sym, l in enumerate(lengths):
            if l == length:
                codes[sym] = (code, length)
                code += 1
        code <<= 1
    return codes


def put_tables(b, sizes):
    """Bit-length code (20 symbols), then every table's lengths through it."""
    bl = complete_lengths(20)
    for n in bl:
        b.put(n, 4)
    bc = canonical(bl)
    tables = []
    for n in sizes:
        lengths = complete_lengths(n)
        tables.append(canonical(lengths))
        for l in lengths:
            b.put(*bc[l])
    return tables


def lz_symbols():
    """Literals for the first "abc", then two-byte matches at distance 3 to the end."""
    syms = [("lit", c) for c in TEXT[:3]]
    left = len(TEXT) - 4
    while left >= 2:
        syms.append(("match", 2))
        left -= 2
    syms += [("lit", c) for c in TEXT[len(TEXT) - 1 - left:]]
    return syms


def pack29():
    b = Bits()
    b.put(0, 1)   # LZ block, not PPMd
    b.put(0, 1)   # start from an all-zero old table, so each length is sent as itself
    main, _, _, _ = put_tables(b, [299, 60, 17, 28])
    for kind, v in lz_symbols():
        if kind == "lit":
            b.put(*main[v])
        else:
            b.put(*main[263])   # short match, base 0, 2 extra bits: distance 1 + 2 = 3
            b.put(2, 2)
    b.put(*main[256])   # end of block ...
    b.put(0, 2)         # ... new file, no new table
    return b.bytes()


def pack5():
    b = Bits()
    main, dist, _, _ = put_tables(b, [306, 64, 16, 44])
    for kind, v in lz_symbols():
        if kind == "lit":
            b.put(*main[v])
        else:
            b.put(*main[262])   # length slot 0: length 2
            b.put(*dist[2])     # distance slot 2: distance 3
    nbits = len(b.bits)
    body = b.bytes()
    flags = 0x80 | 0x40 | (1 << 3) | ((nbits - 1) % 8)  # table, last block, two size bytes
    size = len(body)
    check = 0x5A ^ flags ^ (size & 0xFF) ^ (size >> 8)
    return bytes([flags, check & 0xFF, size & 0xFF, size >> 8]) + body


def expected_text():
    out = bytearray()
    for kind, v in lz_symbols():
        if kind == "lit":
            out.append(v)
        else:
            for _ in range(2):
                out.append(out[-3])
    return bytes(out)


if __name__ == "__main__":
    assert expected_text() == TEXT
    hello = b"hello, world\n"
    samples = {
        "stored4.rar": rar4(b"hello.txt", hello, hello, 29, 0x30),
        "stored5.rar": rar5(b"hello.txt", hello, hello, 0),
        "lz29.rar": rar4(b"abc.txt", TEXT, pack29(), 29, 0x33),
        "lz5.rar": rar5(b"abc.txt", TEXT, pack5(), 3),
        "blake5.rar": rar5(b"abc.txt", TEXT, TEXT, 0, use_blake2=True),
    }
    for name, data in samples.items():
        with open(name, "wb") as f:
            f.write(data)
