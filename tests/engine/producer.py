"""A minimal, independent producer of database files, written from the format rules alone:
it shares no code with the engine or kyvdb (Python's zlib does the Deflate), so the two sides
check each other."""
import struct
import zlib


def weighted_sum(data):
    return sum(i * b for i, b in enumerate(data)) & 0xFFFFFFFF


def _key(i, seed):
    square = (i * i) & 0xFFFFFFFF
    if square >= 0x80000000:
        square -= 0x100000000  # the product as a signed 32-bit value
    h = int(square / 2) if square >= 0 else -((-square) // 2)  # halved toward zero
    return (8 * i + h + 7 * seed + 335) % 256


def _scramble(plain, i, seed):
    r = (~plain ^ _key(i, seed)) & 0xFF
    return ((r >> 2) | (r << 6)) & 0xFF  # rotate right by 2: the decoder rotates left


def container(body, record_count, stamp=1.0, min_version=b"\x83\x33\x33\x33\x33\x03",
              seed=0x3C, magic=b"KYV"):
    deflater = zlib.compressobj(9, zlib.DEFLATED, -15)
    stream = deflater.compress(body) + deflater.flush()
    out = bytearray(magic[:3] + struct.pack("<d", stamp) + min_version
                    + struct.pack("<iI", record_count, 0) + bytes([seed]) + b"\0" * 4)
    for b in stream:
        out.append(_scramble(b, len(out), seed))
    struct.pack_into("<I", out, 21, weighted_sum(out))
    return bytes(out)


def decode_body(stored):
    """The plain body of a stored file (no checks): what a tool really wrote, byte for byte."""
    seed = stored[25]
    plain = bytearray()
    for i in range(30, len(stored)):
        r = ((stored[i] << 2) | (stored[i] >> 6)) & 0xFF
        plain.append(~(r ^ _key(i, seed)) & 0xFF)
    return zlib.decompress(bytes(plain), -15)


def descriptor(name, min_size, max_size, sums, flags=0):
    """Full form: a flag byte, the name, two 4-byte sizes and four 4-byte sums."""
    raw = name.encode("cp1251")
    return (bytes([flags]) + bytes([len(raw)]) + raw + struct.pack("<ii", min_size, max_size)
            + struct.pack("<4I", *sums))


def samples(data):
    """The four sums a scanner takes from a file's bytes."""
    tail = data[-2000:] if len(data) >= 2000 else b""
    return [weighted_sum(data[:2000]), weighted_sum(tail),
            weighted_sum(data[5000:5200]), weighted_sum(data[10000:10200])]
