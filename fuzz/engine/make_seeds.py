"""Writes the seed corpus of db_load_fuzzer with the independent test producer."""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "engine"))
import producer  # noqa: E402

out = os.path.join(os.path.dirname(__file__), "corpus", "db_load_fuzzer")
os.makedirs(out, exist_ok=True)
records = (producer.descriptor("Trojan.Alpha", 1, 100, [1, 2, 3, 4])
           + bytes([0x01, 5, 7]) + b"Beta" + struct.pack("<ii4I", 5, 6, 1, 0, 0, 0)
           + bytes([0x02 | 0x04 | 0x80, 0x3D]) + struct.pack("<H", 68)
           + bytes([0x20 | 0x80, 0x12, 1]) + b"x" + struct.pack("<IH", 1, 7) + struct.pack("<4I", 1, 2, 3, 0xDEADBEEF))
scripts = b"\0" * 10 + struct.pack("<i", 2) + b"\0" * 4 + struct.pack("<iH", 7, 3) + b"abc" + struct.pack("<iH", 8, 1) + b"z"
neural = bytes([2]) + b"n1" + struct.pack("<H", 3) + b"abc"
seeds = {
    "signatures.kyv": b"\0" + producer.container(records + scripts, 4),
    "neural.kyv": b"\0" + producer.container(neural, 1),
    "too_new.kyv": b"\0" + producer.container(records, 4, min_version=b"\x83\x34\x33\x33\x33\x03"),
    "plain_body": b"\x01" + struct.pack("<i", 4) + records + scripts,
    "plain_body_cut": b"\x03" + struct.pack("<i", 4) + records[:-3],
}
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
