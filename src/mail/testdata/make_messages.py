#!/usr/bin/env python3
"""Writes mail messages made by Python's standard email package into a folder, with the exact
bytes of every encoded part beside them, for the parser's interoperability test.

Usage: make_messages.py OUTDIR

OUTDIR/manifest.txt has one line per leaf part, tab-separated:
    message file, part index, expected name, expected encoding, file of the expected bytes or "-"
The parts are listed in the order a depth-first walk meets them. Every encoded part is checked
here first against Python's own decoding, so a failure in the test is the parser's.
"""
import binascii
import email
import email.policy
import os
import random
import sys
from email import encoders
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText


def binary(seed, size):
    rnd = random.Random(seed)
    data = bytes(range(256)) + bytes(rnd.getrandbits(8) for _ in range(size))
    return data


def no_breaks(data):
    return bytes(b for b in data if b not in (0x0A, 0x0D))


def base64_part(data, filename):
    part = MIMEApplication(data, "octet-stream")
    part.add_header("Content-Disposition", "attachment", filename=filename)
    return part


def qp_part(data, filename):
    part = MIMEApplication(data, "octet-stream", _encoder=encoders.encode_quopri)
    part.add_header("Content-Disposition", "attachment", filename=filename)
    return part


def uu_part(data, filename, encoding_name):
    lines = ["begin 644 %s\n" % filename]
    for i in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[i:i + 45], backtick=True).decode("ascii"))
    lines.append("`\nend\n")
    part = MIMEBase("application", "octet-stream")
    part.set_payload("".join(lines))
    part["Content-Transfer-Encoding"] = encoding_name
    part.add_header("Content-Disposition", "attachment", filename=filename)
    return part


def flat_message():
    """A plain multipart/mixed message that begins with a Received: line."""
    msg = MIMEMultipart()
    msg["Received"] = "from relay.example.org by mx.example.org; Thu, 10 Dec 2026 01:00:00 +0000"
    msg["From"] = "sender@example.org"
    msg["To"] = "rcpt@example.org"
    msg["Subject"] = "attachments"
    # Received: must come first in the head.
    received = msg["Received"]
    del msg["Received"]
    headers = [("Received", received)] + list(msg.items())
    for key in list(msg.keys()):
        del msg[key]
    for key, value in headers:
        msg[key] = value
    msg.attach(MIMEText("Hello,\nthree attachments follow.\n", "plain", "us-ascii"))
    msg.attach(base64_part(binary(1, 70000), "prog.exe"))
    # Every byte but CR and LF, which quoted-printable carries as hard line breaks.
    msg.attach(qp_part(no_breaks(binary(2, 5000)), "data.bin"))
    msg.attach(uu_part(binary(3, 9000), "old.com", "x-uuencode"))
    return msg


def nested_message():
    """multipart/mixed holding multipart/alternative and a multipart/related three deep."""
    alternative = MIMEMultipart("alternative")
    alternative.attach(MIMEText("plain text\n", "plain", "us-ascii"))
    alternative.attach(MIMEText("<p>html text</p>\n", "html", "us-ascii"))
    related = MIMEMultipart("related")
    related.attach(MIMEText("<img src=cid:x>\n", "html", "us-ascii"))
    inner = MIMEMultipart("mixed")
    inner.attach(base64_part(binary(4, 3000), "deep.bin"))
    inner.attach(uu_part(binary(5, 100), "deep.uu", "uuencode"))
    related.attach(inner)
    msg = MIMEMultipart("mixed")
    msg["From"] = "sender@example.org"
    msg["Subject"] = "nested"
    msg.set_unixfrom("From sender@example.org Thu Dec 10 01:00:00 2026")
    msg.attach(alternative)
    msg.attach(related)
    msg.attach(uu_part(binary(6, 1), "tiny.uu", "uue"))
    msg.attach(qp_part(b"caf\xe9 = tab\there, end with blank ", "text.qp"))
    msg.attach(base64_part(b"", "empty.bin"))
    return msg


def single_message():
    """A message that is one base64 attachment, no multipart at all."""
    msg = MIMEApplication(binary(7, 1000), "octet-stream")
    msg["From"] = "sender@example.org"
    msg["Subject"] = "single"
    return msg


def leaves(msg):
    return [part for part in msg.walk() if not part.is_multipart()]


def write_message(outdir, manifest, filename, msg, policy, unixfrom):
    data = msg.as_bytes(unixfrom=unixfrom, policy=policy)
    with open(os.path.join(outdir, filename), "wb") as f:
        f.write(data)
    parsed = email.message_from_bytes(data)
    single = not parsed.is_multipart()
    for index, part in enumerate(leaves(parsed)):
        name = part.get_filename() or ("MainBody" if single else "")
        encoding = (part.get("Content-Transfer-Encoding") or "").strip().lower()
        expected = "%s.%d.bin" % (filename, index)
        content = part.get_payload(decode=True)
        with open(os.path.join(outdir, expected), "wb") as f:
            f.write(content)
        manifest.append("\t".join([filename, str(index), name, encoding, expected]))
    return parsed


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    manifest = []
    lf = email.policy.default.clone(linesep="\n")
    crlf = email.policy.SMTP
    originals = {
        "prog.exe": binary(1, 70000),
        "data.bin": no_breaks(binary(2, 5000)),
        "old.com": binary(3, 9000),
        "deep.bin": binary(4, 3000),
        "deep.uu": binary(5, 100),
        "tiny.uu": binary(6, 1),
        "text.qp": b"caf\xe9 = tab\there, end with blank ",
        "empty.bin": b"",
    }
    for filename, msg, policy, unixfrom in [
        ("flat-lf.eml", flat_message(), lf, False),
        ("flat-crlf.eml", flat_message(), crlf, False),
        ("nested-mbox.eml", nested_message(), lf, True),
        ("single.eml", single_message(), crlf, False),
    ]:
        parsed = write_message(outdir, manifest, filename, msg, policy, unixfrom)
        # The generator's own check: Python decodes back what went in.
        for part in leaves(parsed):
            name = part.get_filename()
            if name in originals and part.get_payload(decode=True) != originals[name]:
                sys.exit("%s: %s does not decode to its input" % (filename, name))
    with open(os.path.join(outdir, "manifest.txt"), "w") as f:
        f.write("\n".join(manifest) + "\n")


if __name__ == "__main__":
    main()
