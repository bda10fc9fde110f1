"""The kyvdb command line: sig -> build -> list -> build gives the same file, verify reports
damage, foreign and too-new files with the engine's messages, pack-code makes an unpack-code
file, and a build of a folder scans as expected.

usage: run_kyvdb_cli.py --work DIR --kyvdb PROG [--wine WINE]"""
import argparse
import os
import re
import shutil
import subprocess
import sys

import producer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--kyvdb", required=True)
    ap.add_argument("--wine")
    args = ap.parse_args()
    os.environ["WINEDEBUG"] = "-all"
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    w = lambda name: os.path.join(args.work, name)
    failures = []

    def kyvdb(*cmd):
        run = subprocess.run(([args.wine] if args.wine else []) + [args.kyvdb] + list(cmd),
                             capture_output=True, timeout=300)
        return run.returncode, (run.stdout + run.stderr).decode("utf-8", "replace").replace("\r", "")

    def check(what, ok, output=""):
        if not ok:
            failures.append(what)
            print("FAIL %s\n%s" % (what, output))

    small = bytes(range(256)) * 4               # 1024 bytes: tail and window sums are 0
    large = bytes((k * 7 + k // 300) & 0xFF for k in range(12000))
    for name, data in (("small.bin", small), ("large file.bin", large)):
        with open(w(name), "wb") as f:
            f.write(data)

    status, out = kyvdb("sig", w("small.bin"), w("large file.bin"))
    expected = ["sig small.bin 1024 %08X 00000000 00000000 00000000" % producer.weighted_sum(small),
                "sig large%%20file.bin 12000 %08X %08X %08X %08X" % tuple(producer.samples(large))]
    check("sig lines", status == 0 and out.split("\n")[:2] == expected, out)
    status, out = kyvdb("sig", "--name", "Named.One", w("small.bin"))
    check("sig --name", out.startswith("sig Named.One 1024 "), out)

    with open(w("source.txt"), "w") as f:
        f.write("stamp 5\n" + "\n".join(expected) + "\nscript 3 text%20here\n")
    status, out = kyvdb("build", "-o", w("main.kyv"), w("source.txt"))
    check("build", status == 0 and os.path.exists(w("main.kyv")), out)
    status, listing = kyvdb("list", w("main.kyv"))
    check("list shows the lines", status == 0 and all(l in listing for l in expected)
          and "script 3 text%20here" in listing and "stamp 5" in listing, listing)
    with open(w("listed.txt"), "w") as f:
        f.write(listing)
    status, out = kyvdb("build", "-o", w("main2.kyv"), w("listed.txt"))
    with open(w("main.kyv"), "rb") as a, open(w("main2.kyv"), "rb") as b:
        check("list -> build gives the same file", status == 0 and a.read() == b.read(), out)

    status, out = kyvdb("build", "--daily", "--stamp", "9", "--min-version", "83:34:33:33:33:03",
                        "-o", w("daily.kyv"), w("source.txt"))
    check("build --daily", status == 0, out)
    with open(w("main.kyv"), "rb") as f:
        good = f.read()
    with open(w("main-damaged.kyv"), "wb") as f:
        f.write(good[:-1] + bytes([good[-1] ^ 0x10]))
    with open(w("main-foreign.kyv"), "wb") as f:
        f.write(producer.container(b"\0", 0, magic=b"ABC"))
    status, out = kyvdb("verify", w("main.kyv"), w("main-damaged.kyv"), w("main-foreign.kyv"),
                        w("daily.kyv"))
    check("verify", status == 1
          and "main.kyv: OK, 2 records, 1 scripts" in out
          and "KYV-001 Файл main-damaged.kyv поврежден" in out
          and "main-foreign.kyv: not a database file" in out
          and "KYV-002 Файл daily.kyv не может использоваться текущей версией KYV." in out, out)
    status, out = kyvdb("verify", w("main.kyv"))
    check("verify of a good file", status == 0, out)

    with open(w("module.bin"), "wb") as f:
        f.write(b"MZ" + bytes(300))
    status, out = kyvdb("pack-code", "-o", w("extract.kyv"), "UNRAR=" + w("module.bin"), "other=" + w("small.bin"))
    status2, listing = kyvdb("list", w("extract.kyv"))
    check("pack-code", status == 0 and status2 == 0 and "# code UNRAR 302 bytes" in listing
          and "# code other 1024 bytes" in listing, out + listing)

    if not args.wine:
        # Database files are for every user: their mode comes from the umask, as any tool's
        # output does (0644 under the usual 022).
        os.umask(0o022)
        status, out = kyvdb("build", "-o", w("shared.kyv"), w("source.txt"))
        mode = os.stat(w("shared.kyv")).st_mode & 0o777
        check("built files are readable by all under umask 022", status == 0 and mode == 0o644,
              "%s mode %o" % (out, mode))
        status, out = kyvdb("pack-code", "-o", w("extract-shared.kyv"), "UNRAR=" + w("small.bin"))
        mode = os.stat(w("extract-shared.kyv")).st_mode & 0o777
        check("pack-code output is readable by all", status == 0 and mode == 0o644, "%o" % mode)
        # Names typed on a UTF-8 terminal are stored in Windows-1251 and listed in UTF-8 again.
        status, out = kyvdb("sig", "--name", "Троян.Тест", w("small.bin"))
        check("sig --name keeps a Cyrillic name", status == 0 and out.startswith("sig Троян.Тест 1024 "), out)
        with open(w("cyrillic.txt"), "w", encoding="utf-8") as f:
            f.write(out)
        status, out = kyvdb("build", "-o", w("main-cyr.kyv"), w("cyrillic.txt"))
        stored = producer.decode_body(open(w("main-cyr.kyv"), "rb").read())
        check("the name is stored in Windows-1251", status == 0 and "Троян.Тест".encode("cp1251") in stored
              and "Троян".encode("utf-8") not in stored, out)
        status, out = kyvdb("list", w("main-cyr.kyv"))
        check("list shows the name in UTF-8", status == 0 and "sig Троян.Тест 1024 " in out, out)

    # Reading and writing failures say why.
    status, out = kyvdb("build", "-o", w("never.kyv"), w("no-such-source.txt"))
    check("an unreadable source names the file and the reason", status == 1
          and re.search(r"cannot read [^\n]*no-such-source.txt: \S", out), out)
    status, out = kyvdb("build", "-o", w("no-such-folder/x.kyv"), w("source.txt"))
    check("an unwritable output names the file and the reason", status == 1
          and re.search(r"cannot write [^\n]*no-such-folder.x.kyv: \S", out), out)

    # Descriptors that can never match.
    with open(w("empty.bin"), "wb"):
        pass
    status, out = kyvdb("sig", w("empty.bin"))
    check("sig warns of a file whose sums are all 0", status == 0 and "sig empty.bin 0 00000000" in out
          and "can never match" in out, out)
    with open(w("zeros.txt"), "w") as f:
        f.write("sig Good 1 1 0 0 0\nsig Never 1-5 0 0 0 0\n")
    status, out = kyvdb("build", "-o", w("main-zeros.kyv"), w("zeros.txt"))
    check("build warns of a descriptor whose sums are all 0", status == 0
          and "line 2: Never: all four sums are 0" in out and "Good" not in out, out)

    for bad in (["build", "-o"], ["frob"], ["build", w("source.txt")]):
        status, out = kyvdb(*bad)
        check("usage error for %s" % bad, status == 2 and "usage" in out, out)
    with open(w("broken.txt"), "w") as f:
        f.write("sig A 1 1 0 0 0\nsig B 7-3 1 0 0 0\n")
    status, out = kyvdb("build", "-o", w("main-broken.kyv"), w("broken.txt"))
    check("source error names the line", status == 1 and "line 2" in out
          and not os.path.exists(w("main-broken.kyv")), out)

    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
