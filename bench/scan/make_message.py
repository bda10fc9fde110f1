#!/usr/bin/env python3
"""Writes a stored message whose base64 attachment is a ZIP of a few large members (text and
binary), and the ZIP itself beside it, for comparing a scan with plain unzipping.
Usage: make_message.py OUT_FOLDER [MEGABYTES]"""
import io
import os
import random
import sys
import zipfile
from email.message import EmailMessage


def main():
    out = sys.argv[1]
    megabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 64
    rng = random.Random(1)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(5000)]
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(4):
            size = megabytes * 1024 * 1024 // 8
            text = b" ".join(rng.choice(words) for _ in range(size // 6))[:size]
            z.writestr(f"text{i}.txt", text)
            binary = bytes(rng.getrandbits(8) if rng.random() < 0.3 else 0 for _ in range(size // 4)) * 4
            z.writestr(f"data{i}.bin", binary)
    data = buf.getvalue()
    with open(os.path.join(out, "attachment.zip"), "wb") as f:
        f.write(data)
    msg = EmailMessage()
    msg["From"] = "sender@example.org"
    msg["To"] = "recipient@example.net"
    msg["Subject"] = "large attachment"
    msg.set_content("see attachment\n")
    msg.add_attachment(data, maintype="application", subtype="zip", filename="attachment.zip")
    with open(os.path.join(out, "message.eml"), "wb") as f:
        f.write(bytes(msg))


if __name__ == "__main__":
    main()
