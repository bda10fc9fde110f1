#!/usr/bin/env python3
"""Writes the seed corpus of zip_fuzzer: small archives with one member per method the reader
knows (stored, Deflate, shrink, reduce 1-4, implode with two and three trees), an encrypted
member (password "pw", the one the fuzz target supplies), duplicates and a comment. The legacy
members are the simplest valid streams of their methods, written here bit by bit."""
import os
import struct
import sys
import zlib


class Bits:
    """Least significant bit first, as every ZIP method packs its codes."""

    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, value, count):
        self.acc |= value << self.n
        self.n += count
        while self.n >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.n -= 8

    def put_msb_first(self, code, count):
        for i in range(count - 1, -1, -1):
            self.put((code >> i) & 1, 1)

    def done(self):
        if self.n:
            self.out.append(self.acc & 0xFF)
        return bytes(self.out)


def shrink(data):
    # Literal codes only, at the initial 9 bits.
    b = Bits()
    for c in data:
        b.put(c, 9)
    return b.done()


def reduce(data):
    # Empty follower sets (6 bits each), then every byte as 8 plain bits; 144 is doubled as
    # escape + 0, and one match (escape, length/distance byte, distance byte) repeats "abc".
    b = Bits()
    for _ in range(256):
        b.put(0, 6)
    out = bytearray()
    for c in data:
        if c == 144:
            b.put(144, 8)
            b.put(0, 8)
        else:
            b.put(c, 8)
        out.append(c)
    b.put(144, 8)
    b.put(0x01, 8)  # length 1 + 3 = 4, distance high bits 0
    b.put(2, 8)     # distance 3
    out += out[-3:] + out[-3:][:1]
    return b.done(), bytes(out)


def uniform_tree(b, symbols, length):
    groups = symbols // 16
    b.put(groups - 1, 8)
    for _ in range(groups):
        b.put(0xF0 | (length - 1), 8)


def implode(data, three_trees, big_dictionary):
    b = Bits()
    if three_trees:
        uniform_tree(b, 256, 8)
    uniform_tree(b, 64, 6)
    uniform_tree(b, 64, 6)
    out = bytearray()
    for c in data:
        b.put(1, 1)
        if three_trees:
            b.put_msb_first(255 - c, 8)
        else:
            b.put(c, 8)
        out.append(c)
    # One match: distance 2, length symbol 1 (so minimum + 1).
    low_bits = 7 if big_dictionary else 6
    b.put(0, 1)
    b.put(1, low_bits)               # distance - 1 = 1, low part
    b.put_msb_first(63 - 0, 6)       # high part 0
    b.put_msb_first(63 - 1, 6)       # length symbol 1
    length = 1 + (3 if three_trees else 2)
    for _ in range(length):
        out.append(out[-2])
    return b.done(), bytes(out)


def crypt(password, data, check):
    k = [0x12345678, 0x23456789, 0x34567890]

    def crc_byte(crc, c):
        return zlib.crc32(bytes([c]), crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF

    def update(c):
        k[0] = crc_byte(k[0], c)
        k[1] = ((k[1] + (k[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k[2] = crc_byte(k[2], k[1] >> 24)

    for c in password:
        update(c)
    out = bytearray()
    for c in bytes(11) + bytes([check]) + data:
        t = (k[2] | 2) & 0xFFFF
        out.append(c ^ ((t * (t ^ 1)) >> 8 & 0xFF))
        update(c)
    return bytes(out)


def archive(members, comment=b""):
    body = bytearray()
    central = bytearray()
    for name, method, flags, packed, plain in members:
        crc = zlib.crc32(plain)
        offset = len(body)
        fixed = struct.pack("<HHHHHIIIHH", 20, flags, method, 0x6000, 0x5021, crc, len(packed),
                            len(plain), len(name), 0)
        body += b"PK\x03\x04" + fixed + name + packed
        central += b"PK\x01\x02" + struct.pack("<HHHHHHIIIHHHHHII", 0x0014, 20, flags, method,
                                               0x6000, 0x5021, crc, len(packed), len(plain),
                                               len(name), 0, 0, 0, 0, 0, offset) + name
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, len(members), len(members), len(central),
                                       len(body), len(comment)) + comment
    return bytes(body + central + end)


def main(folder):
    text = b"the quick brown fox \x90 jumps over the lazy dog; abcabcabc\n" * 3
    deflater = zlib.compressobj(9, zlib.DEFLATED, -15)
    deflated = deflater.compress(text) + deflater.flush()
    reduced, reduced_plain = reduce(text)
    seeds = {
        "stored.zip": [(b"a.txt", 0, 0, text, text)],
        "deflated.zip": [(b"b.txt", 8, 0, deflated, text)],
        "shrunk.zip": [(b"SHRUNK.TXT", 1, 0, shrink(text), text)],
        "encrypted.zip": [(b"e.txt", 0, 1, crypt(b"pw", text, zlib.crc32(text) >> 24), text)],
        "duplicates.zip": [(b"Same", 0, 0, b"one", b"one"), (b"SAME", 8, 0, deflated, text)],
    }
    for factor in range(1, 5):
        seeds[f"reduced{factor}.zip"] = [(b"R.TXT", 1 + factor, 0, reduced, reduced_plain)]
    for trees in (False, True):
        for big in (False, True):
            packed, plain = implode(text, trees, big)
            flags = (2 if big else 0) | (4 if trees else 0)
            seeds[f"imploded-{'8k' if big else '4k'}-{3 if trees else 2}.zip"] = [
                (b"I.TXT", 6, flags, packed, plain)]
    for name, members in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(archive(members, b"seed" if name == "stored.zip" else b""))


if __name__ == "__main__":
    main(sys.argv[1])
