"""Documents that carry files, through the kyvscan command line: a web page with a data: URI, an
SVG image whose script holds a base64 blob, and a message whose HTML part carries the payload;
each found with the chain that leads to it, nothing left in the temporary folder.

usage: run_kyvscan_documents.py --kyvscan PROG --base DIR"""
import argparse
import base64
import email.mime.multipart
import email.mime.text
import json
import os
import shutil
import sys
import tempfile

import run_kyvscan_cli as cli


def chains(runner, path):
    """The chains of every finding of one file, as lists of (container, member)."""
    status, stdout, stderr, left = runner.run(["--json", path])
    cli.check(path + ": nothing left in the temporary folder", not left, str(left))
    try:
        result = json.loads(stdout.splitlines()[0])
    except (ValueError, IndexError) as e:
        cli.check(path + ": JSON line", False, "%s\n%s%s" % (e, stdout, stderr))
        return status, []
    return status, [[(link["container"], link["member"]) for link in f["chain"]] for f in result["findings"]]


def expect_chains(runner, what, path, wanted):
    status, found = chains(runner, path)
    cli.check(what, status == (1 if wanted else 0) and found == wanted,
              "status %s, chains %s, wanted %s" % (status, found, wanted))


def html_cases(r):
    # With a note beside the program, as archives sent this way carry one: the archive is then
    # longer than the shortest script string that counts.
    payload = cli.zip_of([(b"readme.txt", b"Open the program to see the invoice.\n" * 8), (b"eicar.com", cli.EICAR)])
    b64 = base64.b64encode(payload).decode()
    cli.write("page.html", ("<!DOCTYPE html>\n<html><body><a download=\"invoice.zip\" href=\"data:application/zip;base64,"
                            + b64 + "\">open</a></body></html>\n").encode())
    expect_chains(r, "a data: URI in a page", "page.html",
                  [[("HTML", "data-uri-1.zip"), ("ZIP", "eicar.com")]])

    # The blob of a smuggling script: pieces joined, decoded by atob and saved as a download.
    pieces = [b64[i:i + 40] for i in range(0, len(b64), 40)]
    script = "var p = [" + ",\n".join('"%s"' % p for p in pieces) + "].join('');\n" \
             "var b = new Blob([Uint8Array.from(atob(p), c => c.charCodeAt(0))]);\n"
    cli.write("image.svg", ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\">"
                            "<script><![CDATA[\n" + script + "]]></script></svg>\n").encode())
    expect_chains(r, "a script blob in an SVG image", "image.svg",
                  [[("HTML", "script-blob-1.bin"), ("ZIP", "eicar.com")]])

    # A message made by Python's email package whose HTML part (base64 and quoted-printable)
    # carries the payload: found through the part, once each.
    message = email.mime.multipart.MIMEMultipart("alternative")
    message["From"] = "a@example.org"
    message["To"] = "b@example.org"
    message["Subject"] = "invoice"
    message.attach(email.mime.text.MIMEText("see the page", "plain"))
    html = "<html><body><img src=\"data:application/octet-stream;base64," + b64 + "\"></body></html>"
    message.attach(email.mime.text.MIMEText(html, "html", "utf-8"))
    cli.write("message.eml", message.as_bytes())
    status, found = chains(r, "message.eml")
    cli.check("a data: URI in a message's HTML part", status == 1 and len(found) == 1
              and found[0][1:] == [("HTML", "data-uri-1.bin"), ("ZIP", "eicar.com")]
              and found[0][0][0].startswith("E-MAIL"), "status %s, chains %s" % (status, found))

    # A page with markup, small data: URIs and scripts but nothing harmful.
    cli.write("clean.html", b"<html><head><script>var id = 'QUJD'; function f(a) { return a / 2; }</script>"
                            b"</head><body><img src=\"data:image/gif;base64,R0lGODlhAQABAAAAACw=\"></body></html>")
    expect_chains(r, "an ordinary page is clean", "clean.html", [])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kyvscan", required=True)
    ap.add_argument("--base", required=True)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="kyvscan-documents-")
    try:
        program = os.path.join(work, "kyvscan")
        shutil.copy(args.kyvscan, program)
        shutil.copytree(args.base, os.path.join(work, "BASE"))
        os.chdir(work)
        html_cases(cli.Runner(program, work))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d failures" % len(cli.failures))
    return 1 if cli.failures else 0


if __name__ == "__main__":
    sys.exit(main())
