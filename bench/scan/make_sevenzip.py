#!/usr/bin/env python3
"""Writes the content for a large 7z into a folder: text members of random words and binary
members of random bytes with runs of zeros, in about the given total size.
Usage: make_sevenzip.py OUT_FOLDER [MEGABYTES]"""
import os
import random
import sys


def main():
    out = sys.argv[1]
    megabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 140
    rng = random.Random(1)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(5000)]
    os.makedirs(out, exist_ok=True)
    part = megabytes * 1024 * 1024 // 8
    for i in range(4):
        # A third text, two thirds binary: the binary half keeps the archive large.
        text_size = part * 2 // 3
        text = b" ".join(rng.choices(words, k=text_size // 5))[:text_size]
        with open(os.path.join(out, f"text{i}.txt"), "wb") as f:
            f.write(text)
        binary = bytearray()
        while len(binary) < part * 4 // 3:
            binary += rng.randbytes(rng.randint(1, 4096))
            binary += bytes(rng.randint(0, 512))
        with open(os.path.join(out, f"data{i}.bin"), "wb") as f:
            f.write(binary)


if __name__ == "__main__":
    main()
