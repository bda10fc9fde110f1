"""Databases from the independent producer, loaded and matched by the shipped programs:
kyvscan natively, or the plug-in through bavhost (both under Wine in the Windows build).

usage: run_db_scenarios.py --work DIR --extract extract.kyv
           (--kyvscan PROG | --bavhost PROG --dll kyvmail.dll) [--wine WINE]"""
import argparse
import os
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
    scenarios = [
        # name, {file: bytes}, {sample: expected text or None for clean}, load error or None
        ("exact, partial and daily",
         {"main1.kyv": good_main, "daily.kyv": producer.container(daily_body, 1, stamp=100.0)},
         {"exact.bin": "Sample.Exact", "partial.bin": "Suspictios: Worm.Demo" + details,
          "daily.bin": "Daily.Found"}, None),
        ("daily older than main is ignored",
         {"main1.kyv": good_main, "daily.kyv": producer.container(daily_body, 1, stamp=99.5)},
         {"daily.bin": None, "exact.bin": "Sample.Exact"}, None),
        # The real descriptors sit behind incompressible fillers, so they are descrambled
        # from stored positions past 46341, where i * i no longer fits in 31 bits.
        ("descrambling past position 46341",
         {"main1.kyv": big_main}, {"exact.bin": "Sample.Exact"}, None),
        ("damaged main", {"main1.kyv": good_main[:-1] + bytes([good_main[-1] ^ 1])},
         {}, KYV001.format("main1.kyv")),
        ("too new a main",
         {"main1.kyv": producer.container(main_body, 3, min_version=b"\x83\x34\x33\x33\x33\x03")},
         {}, KYV002.format("main1.kyv")),
        ("wrong magic", {"main1.kyv": producer.container(main_body, 3, magic=b"KYW")}, {}, ""),
    ]
    files = {"exact.bin": exact, "partial.bin": partial, "daily.bin": fromdaily}
    failures = 0
    for name, dbs, expect, load_error in scenarios:
        root = os.path.join(args.work, name.replace(" ", "_"))
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
            cmd = wine + [args.kyvscan, "--base", base, "--no-summary"] + paths
        else:
            dll = os.path.join(root, "kyvmail.dll")
            shutil.copy(args.dll, dll)
            cmd = wine + [args.bavhost, dll] + paths
        run = subprocess.run(cmd, capture_output=True, timeout=300)
        out = (run.stdout + run.stderr).decode("utf-8", "replace").replace("\r", "")
        problems = []
        if load_error is not None:
            if run.returncode != 2:
                problems.append("exit status %d, expected 2" % run.returncode)
            if args.kyvscan and load_error and load_error not in out:
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
