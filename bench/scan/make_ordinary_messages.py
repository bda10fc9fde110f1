#!/usr/bin/env python3
"""Writes a folder of ordinary stored messages, as a mailbox of everyday mail holds them: plain
text, text with an HTML alternative, quoted-printable bodies, replies with quoted text, and some
with small attachments (a document, an image, a zip). Fixed seed: the same folder every time.
Usage: make_ordinary_messages.py OUT_FOLDER [COUNT]"""
import io
import os
import random
import sys
import zipfile
from email.message import EmailMessage
from email.utils import format_datetime
from datetime import datetime, timezone, timedelta


def words(rng, vocabulary, n):
    return " ".join(rng.choice(vocabulary) for _ in range(n))


def paragraph_text(rng, vocabulary, paragraphs):
    return "\n\n".join(words(rng, vocabulary, rng.randint(20, 120)) for _ in range(paragraphs))


def main():
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    rng = random.Random(2000)
    vocabulary = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 10)))
                  for _ in range(3000)] + ["Grüße", "déjà", "naïve", "€"]
    start = datetime(2026, 1, 1, tzinfo=timezone.utc)
    os.makedirs(out, exist_ok=True)
    for i in range(count):
        msg = EmailMessage()
        msg["From"] = f"user{rng.randint(1, 300)}@example.org"
        msg["To"] = f"user{rng.randint(1, 300)}@example.net"
        msg["Subject"] = words(rng, vocabulary, rng.randint(2, 8))
        msg["Date"] = format_datetime(start + timedelta(minutes=37 * i))
        msg["Message-ID"] = f"<{i}.{rng.getrandbits(32)}@example.org>"
        text = paragraph_text(rng, vocabulary, rng.randint(1, 6))
        if rng.random() < 0.3:
            text += "\n\n" + "\n".join("> " + line for line in paragraph_text(rng, vocabulary, 2).split("\n"))
        msg.set_content(text, cte="quoted-printable" if rng.random() < 0.4 else None)
        if rng.random() < 0.5:
            msg.add_alternative("<html><body>" + "".join(f"<p>{p}</p>" for p in text.split("\n\n"))
                                + "</body></html>", subtype="html")
        kind = rng.random()
        if kind < 0.15:
            msg.add_attachment(bytes(rng.getrandbits(8) for _ in range(rng.randint(2000, 60000))),
                               maintype="image", subtype="jpeg", filename=f"photo{i}.jpg")
        elif kind < 0.25:
            body = paragraph_text(rng, vocabulary, 20).encode()
            msg.add_attachment(body, maintype="application", subtype="pdf", filename=f"report{i}.pdf")
        elif kind < 0.30:
            buf = io.BytesIO()
            with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("notes.txt", paragraph_text(rng, vocabulary, 10))
                z.writestr("table.csv", "\n".join(",".join(str(rng.randint(0, 999)) for _ in range(8))
                                                  for _ in range(200)))
            msg.add_attachment(buf.getvalue(), maintype="application", subtype="zip",
                               filename=f"files{i}.zip")
        with open(os.path.join(out, f"m{i:05d}.eml"), "wb") as f:
            f.write(bytes(msg))


if __name__ == "__main__":
    main()
