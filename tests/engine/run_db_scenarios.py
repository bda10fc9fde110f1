"""Databases from the independent producer, loaded and matched by the shipped programs:
kyvscan natively, or the plug-in through bavhost (both under Wine in the Windows build).

usage: run_db_scenarios.py --work DIR --extract extract.kyv
           (--kyvscan PROG | --bavhost PROG --dll kyvmail.dll) [--wine WINE]"""
import argparse
import os
import re
import shutil
import subprocess
import sys

import producer

KYV001 = "KYV-001 Файл {} поврежден"
KYV002 = ("KYV-002 Файл {} не может использоваться текущей версией KYV. "
          "Пожалуйста обновите версию KYV с ")


def sample_bytes(tag, size):
    return bytes(((k * 131 + tag * 17 + k // 7) & 0xFF) for k in range(size))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--extract", required=True)
    ap.add_argument("--kyvscan")
    ap.add_argument("--bavhost")
    ap.add_argument("--dll")
    ap.add_argument("--wine")
    args = ap.parse_args()
    os.environ["WINEDEBUG"] = "-all"

    exact = sample_bytes(1, 12000)
    partial = sample_bytes(2, 15000)
    fromdaily = sample_bytes(3, 700)
    s_exact = producer.samples(exact)
    s_partial = producer.samples(partial)
    s_daily = producer.samples(fromdaily)
    wrong = list(s_partial)
    wrong[2] ^= 0x5555
    main_body = (producer.descriptor("Sample.Exact", 12000, 12000, s_exact)
                 + producer.descriptor("Worm.Demo", 1000, 90000, wrong)
                 + producer.descriptor("Never.Partial", 1000, 90000, wrong, flags=0x10))
    daily_body = producer.descriptor("Daily.Found", 1, 1000, [s_daily[0], 0, 0, 0])
    details = " ( %08X %08X %08X %08X %d)" % (*s_partial, len(partial))

    good_main = producer.container(main_body, 3, stamp=100.0)
    fillers = b"".join(producer.descriptor("Filler.%d" % k, 5, 6,
                                           [(k * 2654435761 + j * 40503) & 0xFFFFFFFF or 1
                                            for j in range(4)])
                       for k in range(5000))
    big_main = producer.container(fillers + main_body, 5003, stamp=1.0)
    assert len(big_main) > 60000, len(big_main)
    good_daily = producer.container(daily_body, 1, stamp=100.0)
    extract = open(args.extract, "rb").read()
    scenarios = [
        # name, {file: bytes}, {sample: expected text or None for clean}, load error or None,
        # [what kyvscan must say on standard error], [what it must not say]
        ("exact, partial and daily",
         {"main1.kyv": good_main, "daily.kyv": good_daily},
         {"exact.bin": "Sample.Exact", "partial.bin": "Suspictios: Worm.Demo" + details,
          "daily.bin": "Daily.Found"}, None, [], ["refused"]),
        ("daily older than main is ignored, with a warning",
         {"main1.kyv": good_main, "daily.kyv": producer.container(daily_body, 1, stamp=99.5)},
         {"daily.bin": None, "exact.bin": "Sample.Exact"}, None,
         ["daily.kyv: older than the main database", "Refused database files: daily.kyv"], []),
        ("damaged daily: a warning, the main file still scans",
         {"main1.kyv": good_main, "daily.kyv": good_daily[:-1] + bytes([good_daily[-1] ^ 4])},
         {"daily.bin": None, "exact.bin": "Sample.Exact"}, None,
         ["warning: database file refused[^\n]*daily.kyv: damaged", KYV001.format("daily.kyv")], []),
        ("truncated daily and neural",
         {"main1.kyv": good_main, "daily.kyv": good_daily[:40],
          "neural.kyv": producer.container(b"\x05abc", 1, stamp=100.0)},
         {"exact.bin": "Sample.Exact"}, None,
         ["daily.kyv: damaged", "neural.kyv: damaged: its body ends inside a record",
          "Refused database files: daily.kyv, neural.kyv"], []),
        ("too new a daily",
         {"main1.kyv": good_main,
          "daily.kyv": producer.container(daily_body, 1, stamp=100.0,
                                          min_version=b"\x83\x34\x33\x33\x33\x03")},
         {"daily.bin": None}, None, ["daily.kyv: made for a newer program version"], []),
        # The real descriptors sit behind incompressible fillers, so they are descrambled
        # from stored positions past 46341, where i * i no longer fits in 31 bits.
        ("descrambling past position 46341",
         {"main1.kyv": big_main}, {"exact.bin": "Sample.Exact"}, None, [], []),
        ("damaged main", {"main1.kyv": good_main[:-1] + bytes([good_main[-1] ^ 1])},
         {}, "main1.kyv: damaged", [KYV001.format("main1.kyv")], ["extract.kyv"]),
        ("too new a main",
         {"main1.kyv": producer.container(main_body, 3, min_version=b"\x83\x34\x33\x33\x33\x03")},
         {}, "main1.kyv: made for a newer program version", [KYV002.format("main1.kyv")], []),
        ("wrong magic is blamed on the main file",
         {"main1.kyv": producer.container(main_body, 3, magic=b"KYW")}, {},
         "main1.kyv: not a database file (wrong magic)", [], ["extract.kyv"]),
        ("wrong magic in the unpack code",
         {"main1.kyv": good_main, "extract.kyv": b"KYW" + extract[3:]}, {},
         "extract.kyv: damaged", [], ["main1.kyv"]),
        ("no signatures at all: kyvscan refuses",
         {}, {}, "no signatures in", [], ["exact.bin: OK"]),
    ]
    files = {"exact.bin": exact, "partial.bin": partial, "daily.bin": fromdaily}
    failures = 0
    for name, dbs, expect, load_error, says, never in scenarios:
        if not args.kyvscan and not dbs:
            continue  # the plug-in starts on an empty folder and answers 0: its own e2e test
        root = os.path.join(args.work, name.replace(" ", "_").replace(":", ""))
        shutil.rmtree(root, ignore_errors=True)
        base = os.path.join(root, "BASE")
        os.makedirs(base)
        shutil.copy(args.extract, os.path.join(base, "extract.kyv"))
        for fname, data in dbs.items():
            with open(os.path.join(base, fname), "wb") as f:
                f.write(data)
        targets = sorted(expect) or ["exact.bin"]
        for fname in targets:
            with open(os.path.join(root, fname), "wb") as f:
                f.write(files[fname])
        paths = [os.path.join(root, t) for t in targets]
        wine = [args.wine] if args.wine else []
        if args.kyvscan:
            cmd = wine + [args.kyvscan, "--base", base] + paths
        else:
            dll = os.path.join(root, "kyvmail.dll")
            shutil.copy(args.dll, dll)
            cmd = wine + [args.bavhost, dll] + paths
        run = subprocess.run(cmd, capture_output=True, timeout=300)
        out = (run.stdout + run.stderr).decode("utf-8", "replace").replace("\r", "")
        problems = []
        if args.kyvscan:
            for pattern in says:
                if not re.search(pattern, out):
                    problems.append("no message " + pattern)
            for pattern in never:
                if re.search(pattern, out):
                    problems.append("says " + pattern)
            if says and load_error is None:
                # A refused update is told even to --quiet.
                quiet = subprocess.run(cmd[:-len(paths)] + ["-q"] + paths, capture_output=True,
                                       timeout=300)
                if not re.search(says[0], quiet.stderr.decode("utf-8", "replace")):
                    problems.append("-q hides " + says[0])
        if load_error is not None:
            if run.returncode != 2:
                problems.append("exit status %d, expected 2" % run.returncode)
            if args.kyvscan and load_error not in out:
                problems.append("no message " + load_error)
            if args.bavhost and "initialize\t-3" not in out:
                problems.append("initialize did not fail")
        else:
            want_status = 1 if any(expect.values()) else 0
            if run.returncode != want_status:
                problems.append("exit status %d, expected %d" % (run.returncode, want_status))
            for fname, text in expect.items():
                path = os.path.join(root, fname)
                if args.kyvscan:
                    line = "%s: %s" % (path, text + (" SUSPICIOUS" if text.startswith("Suspictios")
                                                        else " FOUND") if text else "OK")
                    ok = line in out.split("\n")
                else:
                    ok = any(l.startswith("%d\t" % (0 if text is None else 2 if text.startswith("Suspictios") else 1))
                             and l.endswith("\t" + (text or "")) and fname in l
                             for l in out.split("\n"))
                    line = "%s -> %s" % (fname, text)
                if not ok:
                    problems.append("missing: " + line)
        if problems:
            failures += 1
            print("FAIL %s: %s\n--- output ---\n%s" % (name, "; ".join(problems), out))
        else:
            print("ok   %s" % name)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
