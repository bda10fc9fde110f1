#!/usr/bin/env bash
# End-to-end with real producers: makes containers holding the standard test file with the
# archivers and mail library users have (Info-ZIP zip, 7-Zip, GNU tar, gzip, gcab, chmcmd,
# Python's email package, libgsf's compound-file writer), takes the RAR fixtures with a signature
# of one of their members, and scans each one through a shipped front end, checking the verdict
# and the chain.
#   interop.sh kyvscan KYVSCAN KYVDB EXTRACT.KYV
#   interop.sh bavhost BAVHOST.EXE KYVMAIL.DLL KYVDB.EXE EXTRACT.KYV    (Windows build, under Wine)
# A missing producer skips its cases with a note and the run ends with status 77, which CTest shows
# as skipped; a missing fixture or a wrong verdict fails the run.
set -uo pipefail
mode=$1
shift
if [ "$mode" = kyvscan ]; then
  kyvscan=$1 kyvdb=$2 extract=$3
else
  bavhost=$1 dll=$2 kyvdb="wine $3" extract=$4
  export WINEDEBUG=-all
fi
fixtures=${KYV_FIXTURES:?KYV_FIXTURES names the fixture folder}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/in" "$work/base"
if [ "$mode" = kyvscan ]; then
  export TMPDIR=$work/tmp
  leftovers() { find "$work/tmp" -mindepth 1 | head -5; }
else
  # Windows programs keep temporary files in Wine's prefix; Wine keeps its server under TMPDIR.
  wintemp=$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
  wintemp=$(winepath -u "$wintemp" 2>/dev/null)
  leftovers() { [ -n "$wintemp" ] && find "$wintemp" -maxdepth 1 -name 'kyv_*' | head -5; }
fi
cd "$work/in"
failures=0
skipped=0
note() { echo "  note: $*"; skipped=$((skipped + 1)); }
have() { command -v "$1" >/dev/null 2>&1; }

printf '%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' > eicar.com
printf 'Nothing to see here, a plain text file.\n' > clean.txt

# The test databases: the test file, and one member of a RAR fixture.
$kyvdb sig --name Test-File eicar.com > "$work/base/main.txt"
# A file with a hole (sparse on disk): found only when a sparse member comes out at its real bytes.
printf 'x' > sparse.bin && truncate -s 5M sparse.bin && printf 'end of the sparse file\n' >> sparse.bin
$kyvdb sig --name Sparse-File sparse.bin >> "$work/base/main.txt"
rar_fixture=""
if [ ! -f "$fixtures/rar/libarchive-test_read_format_rar5_arm.rar" ]; then
  echo "FAIL fixture missing: $fixtures/rar/libarchive-test_read_format_rar5_arm.rar"
  failures=$((failures + 1))
elif have bsdtar; then
  rar_fixture=$fixtures/rar/libarchive-test_read_format_rar5_arm.rar
  mkdir -p "$work/rar" && bsdtar -xf "$rar_fixture" -C "$work/rar"
  (cd "$work/rar" && $kyvdb sig --name Rar-Member elf-Linux-ARMv7-ls) >> "$work/base/main.txt"
fi
$kyvdb build -o "$work/base/main.kyv" "$work/base/main.txt" >/dev/null
cp "$extract" "$work/base/extract.kyv"

scan() { # file -> "CODE<TAB>TEXT" lines of the front end's own output
  if [ "$mode" = kyvscan ]; then
    "$kyvscan" --base "$work/base" --chain --no-summary "$1"
  else
    mkdir -p "$work/plug"
    [ -f "$work/plug/kyvmail.dll" ] || { cp "$dll" "$work/plug/"; cp -r "$work/base" "$work/plug/BASE"; }
    wine "$bavhost" "$work/plug/kyvmail.dll" "$1"
  fi
}

expect() { # name file regex-of-output
  local name=$1 file=$2 want=$3 out
  if [ ! -s "$file" ]; then note "$name: not made, skipped"; return; fi
  out=$(scan "$file" 2>&1)
  if grep -Eq -- "$want" <<<"$out"; then
    echo "ok   $name"
  else
    echo "FAIL $name: wanted /$want/ in:"; sed 's/^/       /' <<<"$out"
    failures=$((failures + 1))
  fi
}

if [ "$mode" = kyvscan ]; then
  found() { echo "Test-File FOUND"; }
  chain() { echo "in .*$1"; }
  clean() { echo ": OK"; }
else
  found() { echo "^1	.*	Test-File"; }
  chain() { echo "^1	"; }
  clean() { echo "^0	"; }
fi

# ZIP: Info-ZIP stored, deflated, encrypted (never delivered without a password), 7-Zip
# Deflate64, a comment, and zip in zip in zip.
if have zip; then
  zip -q -0 z-stored.zip eicar.com clean.txt
  zip -q -9 z-deflated.zip eicar.com clean.txt
  zip -q -P secret z-encrypted.zip eicar.com
  zip -q z-comment.zip eicar.com && echo "an archive comment" | zip -q -z z-comment.zip
  zip -q z1.zip eicar.com && zip -q z2.zip z1.zip && zip -q z-nested.zip z2.zip
else note "zip missing"; fi
expect zip-stored z-stored.zip "$(found)"
expect zip-deflated z-deflated.zip "$(chain '\{ZIP\}/eicar.com')"
expect zip-encrypted z-encrypted.zip "$(clean)"
expect zip-comment z-comment.zip "$(found)"
expect zip-nested z-nested.zip "$(chain 'z-nested.zip/\{ZIP\}/z2.zip/\{ZIP\}/z1.zip/\{ZIP\}/eicar.com')"
if have 7zz; then 7zz a -tzip -mm=Deflate64 -bso0 -bsp0 z-deflate64.zip eicar.com clean.txt >/dev/null; else note "7zz missing"; fi
expect zip-deflate64 z-deflate64.zip "$(found)"

# ZIP64 as producers write it today: forced, streamed to a pipe, read from a pipe, bsdtar's
# option; and a clean member listed under the same name before the payload.
if have zip; then
  zip -q -fz z-zip64.zip clean.txt eicar.com
  zip -q - clean.txt eicar.com | cat > z-piped.zip
  cat eicar.com | zip -q - - > z-stdin.zip
fi
if have python3; then
  python3 -W ignore -c 'import zipfile; z = zipfile.ZipFile("z-twins.zip", "w")
z.writestr("eicar.com", open("eicar.com", "rb").read()); z.writestr("eicar.com", open("clean.txt", "rb").read())'
fi
if have bsdtar; then bsdtar --format zip --options zip:zip64 -cf z-bsdtar64.zip clean.txt eicar.com; else note "bsdtar missing"; fi
expect zip64-forced z-zip64.zip "$(chain '\{ZIP\}/eicar.com')"
expect zip64-piped z-piped.zip "$(found)"
expect zip64-stdin z-stdin.zip "$(chain '\{ZIP\}/-')"
expect zip64-bsdtar z-bsdtar64.zip "$(found)"
expect zip-same-names z-twins.zip "$(found)"

# TAR in its three formats, gzip with and without a name, and the two nested.
if have tar; then
  mkdir -p tree/a/very/long/path/name/that/goes/on/and/on/beyond/one/hundred/characters/in/all/x
  cp eicar.com tree/a/very/long/path/name/that/goes/on/and/on/beyond/one/hundred/characters/in/all/x/
  ln -sf ../eicar.com tree/link
  tar --format=gnu -cf t-gnu.tar tree eicar.com
  tar --format=ustar -cf t-ustar.tar eicar.com clean.txt
  tar --format=pax -cf t-pax.tar tree
fi
expect tar-gnu t-gnu.tar "$(found)"
expect tar-ustar t-ustar.tar "$(chain '\{TAR\}/eicar.com')"
expect tar-pax t-pax.tar "$(found)"
# Two long names sharing their first 100 bytes, the payload under the second; sparse members.
if have tar; then
  long=tree/a/very/long/path/name/that/goes/on/and/on/beyond/one/hundred/characters/in/all/x/and/even/more
  mkdir -p "$long/one" "$long/two" && cp eicar.com "$long/one/" && cp clean.txt "$long/two/eicar.com"
  for f in gnu ustar posix; do
    tar --format=$f -cf t-twin-$f.tar "$long/one/eicar.com" "$long/two/eicar.com"
  done
  tar --format=gnu --sparse -cf t-sparse-gnu.tar sparse.bin
  tar --format=posix --sparse -cf t-sparse-posix.tar sparse.bin
fi
for f in gnu ustar posix; do expect tar-long-twins-$f t-twin-$f.tar "$(chain 'even/more/one/eicar.com')"; done
if [ "$mode" = kyvscan ]; then sparse_found="Sparse-File FOUND"; else sparse_found="^1	.*	Sparse-File"; fi
expect tar-sparse-gnu t-sparse-gnu.tar "$sparse_found"
expect tar-sparse-posix t-sparse-posix.tar "$sparse_found"
if have gzip; then
  gzip -c eicar.com > g-named.gz
  gzip -n -c eicar.com > g-unnamed.gz
  [ -f t-ustar.tar ] && gzip -c t-ustar.tar > t.tar.gz
fi
expect gzip-named g-named.gz "$(chain '\{GZIP\}/eicar.com')"
expect gzip-unnamed g-unnamed.gz "$(found)"
expect tar-gz t.tar.gz "$(chain '\{GZIP\}/t-ustar.tar/\{TAR\}/eicar.com')"
# Multi-member: the test file split in two, one member each; only the whole output matches.
head -c 30 eicar.com > eicar.1 && tail -c +31 eicar.com > eicar.2
if have gzip; then gzip -c eicar.1 > g-multi.gz && gzip -c eicar.2 >> g-multi.gz; fi
expect gzip-multi g-multi.gz "$(found)"
if have pigz; then pigz -c eicar.1 > g-pigz.gz && pigz -c eicar.2 >> g-pigz.gz; else note "pigz missing"; fi
expect gzip-pigz-multi g-pigz.gz "$(found)"

# Cabinets made by gcab, stored and MSZIP.
if have gcab; then
  gcab -c c-stored.cab eicar.com clean.txt
  gcab -c -z c-mszip.cab eicar.com clean.txt
else note "gcab missing"; fi
expect cab-stored c-stored.cab "$(chain '\{CAB\}/eicar.com')"
expect cab-mszip c-mszip.cab "$(found)"
# Two MSZIP folders whose first files have the same size (the payload is the second folder's),
# and two members of one name (the payload first), written here after the published format.
if have python3; then
  python3 - <<'PY'
import struct, zlib
def cab(name, folders):
    files, blocks, table = [], [], b""
    for k, members in enumerate(folders):
        data = b"".join(d for _, d in members)
        off = 0
        for n, d in members:
            table += struct.pack("<IIHHHH", len(d), off, k, 0x5A21, 0x6000, 0x20) + n + b"\0"
            off += len(d)
        z = zlib.compressobj(9, zlib.DEFLATED, -15)
        packed = b"CK" + z.compress(data) + z.flush()
        blocks.append(struct.pack("<IHH", 0, len(packed), len(data)) + packed)
    nfiles = sum(len(m) for m in folders)
    head = 36 + 8 * len(folders)
    at = head + len(table)
    folder_entries = b""
    for b in blocks:
        folder_entries += struct.pack("<IHH", at, 1, 1)
        at += len(b)
    out = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, at, 0, head, 0, 3, 1, len(folders), nfiles, 0, 0x1234, 0)
    open(name, "wb").write(out + folder_entries + table + b"".join(blocks))
eicar = open("eicar.com", "rb").read()
same = b"x" * len(eicar)
cab("c-folders.cab", [[(b"same-size.txt", same)], [(b"eicar.com", eicar)]])
cab("c-twins.cab", [[(b"eicar.com", eicar), (b"eicar.com", b"a longer clean member of the same name, nothing here")]])
PY
fi
expect cab-two-folders c-folders.cab "$(chain '\{CAB\}/eicar.com')"
expect cab-same-names c-twins.cab "$(found)"
if have cabextract && [ -s c-folders.cab ]; then
  if cabextract -q -p -F eicar.com c-folders.cab | cmp -s - eicar.com; then echo "ok   cab-two-folders-cabextract"
  else echo "FAIL cab-two-folders: cabextract disagrees"; failures=$((failures + 1)); fi
fi

# The old DOS archivers: arj (stored, static Huffman, fast), lha (lh5, lh7 and a zip inside),
# mscompress; a garbled ARJ member is never decoded and the file is reported as not fully scanned.
if have arj; then
  arj a -y -m0 a-stored.arj eicar.com clean.txt >/dev/null
  arj a -y -m1 a-m1.arj clean.txt eicar.com >/dev/null
  arj a -y -m4 a-m4.arj eicar.com >/dev/null
  arj a -y -gsecret a-garbled.arj eicar.com >/dev/null
else note "arj missing"; fi
expect arj-stored a-stored.arj "$(chain '\{ARJ\}/eicar.com')"
expect arj-method1 a-m1.arj "$(found)"
expect arj-method4 a-m4.arj "$(found)"
if [ "$mode" = kyvscan ]; then
  expect arj-garbled a-garbled.arj "not fully scanned: the member is encrypted"
else
  expect arj-garbled a-garbled.arj "$(clean)"
fi
if have lha; then
  lha ao5 l-lh5.lzh eicar.com clean.txt >/dev/null 2>&1
  lha a2o7 l-lh7.lzh clean.txt eicar.com >/dev/null 2>&1
  [ -f z1.zip ] && lha ao5 l-zip.lzh z1.zip >/dev/null 2>&1
else note "lha missing"; fi
expect lzh-lh5 l-lh5.lzh "$(chain '\{LZH\}/eicar.com')"
expect lzh-lh7 l-lh7.lzh "$(found)"
expect lzh-zip l-zip.lzh "$(chain '\{LZH\}/z1.zip/\{ZIP\}/eicar.com')"
if have mscompress; then cp eicar.com e-szdd.com && mscompress e-szdd.com && rm e-szdd.com; else note "mscompress missing"; fi
expect szdd e-szdd.com_ "$(chain '\{SZDD\}/e-szdd.com_')"

# A compiled-help file made by chmcmd (LZX-compressed content).
if have chmcmd; then
  mkdir -p chm && cp eicar.com chm/ && echo '<html><body>help</body></html>' > chm/index.html
  printf '[OPTIONS]\nCompiled file=h.chm\nDefault topic=index.html\nTitle=help\n\n[FILES]\nindex.html\neicar.com\n' > chm/h.hhp
  (cd chm && chmcmd h.hhp >/dev/null 2>&1) && cp chm/h.chm h.chm
else note "chmcmd missing"; fi
expect chm h.chm "$(chain '\{CHM\}//eicar.com')"

# Messages made by Python's email package: base64, quoted-printable and uuencoded attachments,
# nested multipart, a message starting with "Received:" and an mbox "From " line.
if have python3; then
  python3 - <<'PY'
import email.generator, io
from email.message import EmailMessage
from email.mime.multipart import MIMEMultipart
from email.mime.base import MIMEBase
from email.mime.text import MIMEText
import base64, binascii, zipfile
eicar = open("eicar.com", "rb").read()
def save(name, msg, prefix=b""):
    open(name, "wb").write(prefix + bytes(msg))
m = EmailMessage(); m["Received"] = "from a by b"; m["From"] = "a@example.org"; m["Subject"] = "b64"
m.set_content("hi"); m.add_attachment(eicar, maintype="application", subtype="octet-stream", filename="eicar.com")
save("m-base64.eml", m)
m = EmailMessage(); m["From"] = "a@example.org"; m["Subject"] = "qp"
m.set_content("hi"); m.add_attachment(eicar.decode("ascii"), subtype="plain", cte="quoted-printable", filename="eicar.com")
save("m-qp.eml", m)
# uuencoded: the body of a part with Content-Transfer-Encoding x-uuencode
uu = b"begin 644 eicar.com\n" + b"".join(binascii.b2a_uu(eicar[i:i+45]) for i in range(0, len(eicar), 45)) + b"`\nend\n"
outer = MIMEMultipart(); outer["Date"] = "Tue, 8 Dec 2026 10:00:00 +0000"; outer["From"] = "a@example.org"
outer.attach(MIMEText("hi"))
part = MIMEBase("application", "octet-stream"); part.set_payload(uu.decode("ascii"))
part["Content-Transfer-Encoding"] = "x-uuencode"; part.add_header("Content-Disposition", "attachment", filename="eicar.com")
outer.attach(part)
# The multipart classes put Content-Type first, which no stored message starts with.
save("m-uue.eml", outer, b"Received: from a by b; Tue, 8 Dec 2026 10:00:00 +0000\n")
# nested multipart with a zip inside
buf = io.BytesIO(); zipfile.ZipFile(buf, "w").writestr("eicar.com", eicar)
inner = MIMEMultipart("alternative"); inner.attach(MIMEText("plain")); inner.attach(MIMEText("<b>html</b>", "html"))
z = MIMEBase("application", "zip"); z.set_payload(base64.b64encode(buf.getvalue()).decode()); z["Content-Transfer-Encoding"] = "base64"
z.add_header("Content-Disposition", "attachment", filename="e.zip")
outer = MIMEMultipart(); outer["From"] = "a@example.org"; outer.attach(inner); outer.attach(z)
save("m-nested.eml", outer, b"From a@example.org Tue Dec  8 10:00:00 2026\n")
PY
else note "python3 missing"; fi
expect mail-base64 m-base64.eml "$(chain '\{E-MAIL:base64\}/eicar.com')"
expect mail-qp m-qp.eml "$(chain '\{E-MAIL:quoted-printable\}/eicar.com')"
expect mail-uuencode m-uue.eml "$(chain '\{E-MAIL:x-uuencode\}/eicar.com')"
expect mail-nested-mbox m-nested.eml "$(chain '\{E-MAIL:base64\}/e.zip/\{ZIP\}/eicar.com')"

# Messages as mail readers see them, beyond the classic forms: delimiters with transport padding,
# NUL bytes and binary parts, parameters in every RFC form, messages that start with any field,
# forwarded messages deep down, every message of an mbox, multiparts 200 levels deep, and
# uuencoded files inside a text body. Python's email package makes each where it can.
if have python3; then
  python3 - <<'PY'
import base64, binascii, re, sys
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
sys.setrecursionlimit(20000)
eicar = open("eicar.com", "rb").read()
def attachment(name="eicar.com"):
    part = MIMEApplication(eicar, "octet-stream")
    part.add_header("Content-Disposition", "attachment", filename=name)
    return part
def mixed(*parts, boundary=None):
    m = MIMEMultipart(boundary=boundary)
    for p in parts:
        m.attach(p)
    return m
# Transport padding: two blanks after every delimiter line.
m = mixed(MIMEText("hi"), attachment(), boundary="PAD")
m["From"] = "a@example.org"
open("r-padding.eml", "wb").write(re.sub(rb"(?m)^(--PAD(--)?)$", rb"\1  ", bytes(m)))
# Starts with Content-Type, as the multipart classes write it.
open("r-headfirst.eml", "wb").write(bytes(mixed(MIMEText("hi"), attachment())))
# A NUL in the preamble, a binary part of every byte value, then the file itself sent binary.
open("r-binary.eml", "wb").write(
    b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=BIN\r\n\r\npre\0amble\r\n"
    b"--BIN\r\nContent-Transfer-Encoding: binary\r\n\r\n" + bytes(range(256)) + b"\r\n"
    b"--BIN\r\nContent-Transfer-Encoding: binary\r\nContent-Disposition: attachment; filename=eicar.com\r\n\r\n"
    + eicar + b"\r\n--BIN--\r\n")
# Parameters: a hint whose name holds the word boundary, RFC 2231 sections and charset, and an
# encoding with a comment.
open("r-params.eml", "wb").write(
    b"Subject: params\r\nContent-Type: multipart/mixed; x-boundary-hint=1;\r\n boundary*0=\"P\"; boundary*1=\"Q\"\r\n\r\n"
    b"--PQ\r\nContent-Transfer-Encoding: base64 (sent by a gateway)\r\n"
    b"Content-Disposition: attachment; filename*=utf-8''%E2%82%AC.com\r\n\r\n"
    + base64.encodebytes(eicar).replace(b"\n", b"\r\n") + b"--PQ--\r\n")
# Forwarded forty times; the innermost message starts with MIME-Version.
inner = mixed(MIMEText("hi"), attachment())
for i in range(40):
    inner = mixed(MIMEText("fwd %d" % i), MIMEMessage(inner))
inner["Subject"] = "forwarded"
open("r-forward.eml", "wb").write(bytes(inner))
# An mbox of three messages; the file is in the third.
box = b""
for i, msg in enumerate([MIMEText("one"), MIMEText("two"), mixed(MIMEText("three"), attachment())]):
    msg["Subject"] = "message %d" % (i + 1)
    box += b"From a@example.org Thu Dec 10 10:00:0%d 2026\n" % i + bytes(msg) + b"\n\n"
open("r-mbox.mbox", "wb").write(box)
# Two hundred multiparts, each inside the last.
deep = attachment()
for i in range(200):
    deep = mixed(deep)
deep["Subject"] = "deep"
open("r-deep.eml", "wb").write(bytes(deep))
# A uuencoded file inside a plain text body.
uu = "begin 644 eicar.com\n" + "".join(binascii.b2a_uu(eicar[i:i+45]).decode() for i in range(0, len(eicar), 45)) + "`\nend\n"
m = EmailMessage(); m["From"] = "a@example.org"; m["Subject"] = "old style"
m.set_content("Here is the file:\n\n" + uu + "\nBye.\n", cte="7bit")
open("r-uutext.eml", "wb").write(bytes(m))
# BinHex 4.0 by a small encoder written from RFC 1741, sent as application/mac-binhex40.
def crc16(data):
    crc = 0
    for byte in data + b"\0\0":
        for bit in range(7, -1, -1):
            top = crc & 0x8000
            crc = ((crc << 1) | ((byte >> bit) & 1)) & 0xFFFF
            if top:
                crc ^= 0x1021
    return crc.to_bytes(2, "big")
def binhex(name, data, rsrc=b""):
    head = bytes([len(name)]) + name + b"\0" + b"TEXTttxt" + b"\0\0" + len(data).to_bytes(4, "big") + len(rsrc).to_bytes(4, "big")
    raw = head + crc16(head) + data + crc16(data) + rsrc + crc16(rsrc)
    rle, i = b"", 0
    while i < len(raw):
        n = 1
        while i + n < len(raw) and raw[i + n] == raw[i] and n < 255:
            n += 1
        one = b"\x90\0" if raw[i] == 0x90 else raw[i:i + 1]
        rle += one + b"\x90" + bytes([n]) if n >= 3 else one * n
        i += n
    abc = b"!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr"
    bits = int.from_bytes(rle, "big") << (6 - len(rle) * 8 % 6) % 6
    count = (len(rle) * 8 + 5) // 6
    chars = bytes(abc[(bits >> (6 * (count - 1 - k))) & 63] for k in range(count))
    body = b":" + chars + b":"
    return b"(This file must be converted with BinHex 4.0)\r\n" + b"\r\n".join(body[k:k + 64] for k in range(0, len(body), 64)) + b"\r\n"
m = MIMEMultipart(); m["From"] = "a@example.org"; m.attach(MIMEText("a Mac file"))
part = MIMEApplication(binhex(b"eicar.com", eicar, b"some resource"), "mac-binhex40", _encoder=lambda p: p.add_header("Content-Transfer-Encoding", "7bit"))
part.add_header("Content-Disposition", "attachment", filename="eicar.hqx"); m.attach(part)
open("r-binhex.eml", "wb").write(bytes(m))
# TNEF (winmail.dat) by a writer following [MS-OXTNEF]: the file as an attachment with a long name.
def attr(level, ident, data):
    return bytes([level]) + ident.to_bytes(4, "little") + len(data).to_bytes(4, "little") + data + (sum(data) & 0xFFFF).to_bytes(2, "little")
def le32(v): return v.to_bytes(4, "little")
name = "Long name of the file.com".encode("utf-16-le") + b"\0\0"
props = le32(1) + (0x001F).to_bytes(2, "little") + (0x3707).to_bytes(2, "little") + le32(1) + le32(len(name)) + name + b"\0" * (-len(name) % 4)
tnef = le32(0x223E9F78) + b"\x01\x00" + attr(1, 0x00089006, le32(0x00010000)) + attr(2, 0x00069002, b"\x01\x00" + b"\0" * 12) \
    + attr(2, 0x00018010, b"EICAR.COM\0") + attr(2, 0x0006800F, eicar) + attr(2, 0x00069005, props)
m = MIMEMultipart(); m["From"] = "a@example.org"; m.attach(MIMEText("see the attachment"))
part = MIMEApplication(tnef, "ms-tnef"); part.add_header("Content-Disposition", "attachment", filename="winmail.dat"); m.attach(part)
open("r-tnef.eml", "wb").write(bytes(m))
PY
else note "python3 missing"; fi
expect mail-padding r-padding.eml "$(chain '\{E-MAIL:base64\}/eicar.com')"
expect mail-head-first r-headfirst.eml "$(chain '\{E-MAIL:base64\}/eicar.com')"
expect mail-binary r-binary.eml "$(chain '\{E-MAIL:binary\}/eicar.com')"
expect mail-params r-params.eml "$(chain '\{E-MAIL:base64\}/€.com')"
expect mail-forward r-forward.eml "$(chain '\{E-MAIL:base64\}/eicar.com')"
expect mail-mbox r-mbox.mbox "$(chain '\{E-MAIL:base64\}/Message3/eicar.com')"
expect mail-deep r-deep.eml "$(chain '\{E-MAIL:base64\}/eicar.com')"
expect mail-uuencode-in-text r-uutext.eml "$(chain '\{E-MAIL:x-uue\}/eicar.com')"
expect mail-binhex r-binhex.eml "$(chain '\{E-MAIL:7bit\}/eicar.hqx/\{BINHEX\}/eicar.com')"
expect mail-tnef r-tnef.eml "$(chain '\{E-MAIL:base64\}/winmail.dat/\{TNEF\}/Long name of the file.com')"

# Outlook messages (.msg): the message's storages and property streams laid out as files, put into
# a compound file by libgsf's writer. The payload is attached to a forwarded message inside the
# message; the same .msg is then sent as a mail attachment.
if have gsf && have python3; then
  python3 - <<'PY'
import os, struct
def w(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").write(data)
u = lambda s: s.encode("utf-16-le")
prop = lambda tag, v: struct.pack("<IIII", tag, 6, v, 0)
eicar = open("eicar.com", "rb").read()
m = "msgtree"
w(m + "/__properties_version1.0", b"\0" * 32 + prop(0x0E070003, 0))
w(m + "/__substg1.0_1000001F", u("See the forwarded message.\r\n"))
a = m + "/__attach_version1.0_#00000000"
w(a + "/__properties_version1.0", b"\0" * 8 + prop(0x37050003, 1))
w(a + "/__substg1.0_37010102", open("clean.txt", "rb").read())
w(a + "/__substg1.0_3707001F", u("clean.txt"))
a = m + "/__attach_version1.0_#00000001"
w(a + "/__properties_version1.0", b"\0" * 8 + prop(0x37050003, 5))
i = a + "/__substg1.0_3701000D"
w(i + "/__properties_version1.0", b"\0" * 24 + prop(0x0E070003, 0))
w(i + "/__substg1.0_1000001E", b"the file is attached")
b = i + "/__attach_version1.0_#00000000"
w(b + "/__properties_version1.0", b"\0" * 8 + prop(0x37050003, 1))
w(b + "/__substg1.0_37010102", eicar)
w(b + "/__substg1.0_3707001F", u("Long name of the file.com"))
PY
  gsf createole o-forward.msg msgtree/* >/dev/null 2>&1
  python3 - <<'PY'
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
m = MIMEMultipart(); m["From"] = "a@example.org"; m.attach(MIMEText("a saved message"))
part = MIMEApplication(open("o-forward.msg", "rb").read(), "vnd.ms-outlook")
part.add_header("Content-Disposition", "attachment", filename="saved.msg"); m.attach(part)
open("o-mail.eml", "wb").write(bytes(m))
PY
else note "gsf (libgsf-bin) or python3 missing"; fi
expect msg-forward o-forward.msg "$(chain '\{MSG\}/Long name of the file.com')"
expect msg-in-mail o-mail.eml "$(chain '\{E-MAIL:base64\}/saved.msg/\{MSG\}/Long name of the file.com')"

# Disk images: ISO 9660 with Rock Ridge and Joliet names from xorriso and genisoimage, the payload
# deep in a folder; a UDF and ISO hybrid; and an image inside a zip.
if have xorriso && have genisoimage; then
  mkdir -p iso/a/b/c/d/e/f/g/h/i && cp eicar.com iso/a/b/c/d/e/f/g/h/i/ && cp clean.txt iso/
  xorriso -as mkisofs -quiet -J -R -o i-xorriso.iso iso 2>/dev/null
  genisoimage -quiet -J -R -o i-genisoimage.iso iso
  genisoimage -quiet -udf -J -R -o i-udf.iso iso
  if have zip; then zip -q i-in.zip i-xorriso.iso; fi
else note "xorriso or genisoimage missing"; fi
expect iso-xorriso i-xorriso.iso "$(chain '\{ISO\}/a/b/c/d/e/f/g/h/i/eicar.com')"
expect iso-genisoimage i-genisoimage.iso "$(chain '\{ISO\}/a/b/c/d/e/f/g/h/i/eicar.com')"
expect udf-hybrid i-udf.iso "$(chain '\{UDF\}/a/b/c/d/e/f/g/h/i/eicar.com')"
expect iso-in-zip i-in.zip "$(chain '\{ZIP\}/i-xorriso.iso/\{ISO\}/a/b/c/d/e/f/g/h/i/eicar.com')"

# bzip2 and cpio: a payload in a .bz2 (from bzip2 and from a parallel compressor), in a zip of
# bzip2 members and in a zip in a .bz2; cpio archives of GNU cpio's four forms and bsdtar's newc.
if have bzip2; then
  bzip2 -c eicar.com > b-eicar.com.bz2
  if have zip; then zip -q b-plain.zip clean.txt eicar.com && bzip2 -c b-plain.zip > b-zip.zip.bz2; fi
else note "bzip2 missing"; fi
if have lbzip2; then lbzip2 -c -n 2 eicar.com > b-parallel.bz2; else note "lbzip2 missing"; fi
if have zip; then zip -q -Z bzip2 b-method12.zip clean.txt eicar.com; fi
expect bzip2 b-eicar.com.bz2 "$(chain '\{BZIP2\}/b-eicar.com')"
expect bzip2-lbzip2 b-parallel.bz2 "$(chain '\{BZIP2\}/b-parallel')"
expect zip-in-bzip2 b-zip.zip.bz2 "$(chain '\{BZIP2\}/b-zip.zip/\{ZIP\}/eicar.com')"
expect zip-bzip2-member b-method12.zip "$(chain '\{ZIP\}/eicar.com')"
if have cpio; then
  for f in newc crc odc bin; do printf 'clean.txt\neicar.com\n' | cpio --quiet -o -H $f > c-$f.cpio; done
else note "cpio missing"; fi
if have bsdtar; then bsdtar --format=newc -cf c-bsdtar.cpio clean.txt eicar.com; fi
for f in newc crc odc bin bsdtar; do expect cpio-$f c-$f.cpio "$(chain '\{CPIO\}/eicar.com')"; done

# Office documents and RTF: compound files put together by libgsf's writer from streams laid out as
# files (a Word file with the payload packaged in its object pool and as a VBA module's source,
# a PowerPoint file whose embedded object, zlib-compressed by Python, is such a compound file),
# an Office Open XML file zipped by Python's zipfile with those compound files as its embedding
# and its vbaProject.bin, and an RTF document written by hand with the payload packaged in an
# object.
if have gsf && have python3; then
  python3 - <<'PY'
import os, struct, zipfile, zlib
def w(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    open(path, "wb").write(data)
eicar = open("eicar.com", "rb").read()
lp = lambda s: struct.pack("<I", len(s) + 1) + s + b"\0"
package = (b"\x02\x00" + b"eicar.com\0" + b"C:\\Users\\me\\eicar.com\0" + b"\x00\x00\x03\x00" +
           lp(b"C:\\Users\\me\\AppData\\Local\\Temp\\eicar.com") + struct.pack("<I", len(eicar)) + eicar)
def ovba(data):
    # The VBA compression's simplest valid form: chunks of literal tokens only.
    out = b"\x01"
    for at in range(0, len(data), 4096):
        chunk = data[at:at + 4096]
        body = b"".join(b"\x00" + chunk[i:i + 8] for i in range(0, len(chunk), 8))
        out += struct.pack("<H", (len(body) + 2 - 3) | 0xB000) + body
    return out
rec = lambda i, d: struct.pack("<HI", i, len(d)) + d
u16 = lambda s: s.encode("utf-16-le")
cache = b"\xcc" * 40
d = (rec(1, struct.pack("<I", 1)) + rec(2, struct.pack("<I", 0x409)) + rec(0x14, struct.pack("<I", 0x409)) +
     rec(3, struct.pack("<H", 1252)) + rec(4, b"Project") + rec(5, b"") + rec(0x40, b"") + rec(6, b"") +
     rec(0x3D, b"") + rec(7, struct.pack("<I", 0)) + rec(8, struct.pack("<I", 0)) +
     struct.pack("<HIIH", 9, 4, 0x5A8C13B1, 6) + rec(0xC, b"") + rec(0x3C, b"") +
     rec(0xF, struct.pack("<H", 1)) + rec(0x13, struct.pack("<H", 0xFFFF)) +
     rec(0x19, b"Module1") + rec(0x47, u16("Module1")) + rec(0x1A, b"Module1") + rec(0x32, u16("Module1")) +
     rec(0x1C, b"") + rec(0x48, b"") + rec(0x31, struct.pack("<I", len(cache))) + rec(0x1E, struct.pack("<I", 0)) +
     rec(0x2C, struct.pack("<H", 0xFFFF)) + rec(0x21, b"") + rec(0x2B, b"") + rec(0x10, b""))
w("doctree/WordDocument", b"\xec\xa5" + b"\0" * 1000)
w("doctree/1Table", b"\0" * 100)
w("doctree/ObjectPool/_1700000000/\x01CompObj", b"\x01\x00\xfe\xff" + b"\0" * 20 + lp(b"Package"))
w("doctree/ObjectPool/_1700000000/\x01Ole10Native", struct.pack("<I", len(package)) + package)
w("vbatree/PROJECT", b'ID="{00000000-0000-0000-0000-000000000000}"\r\nModule=Module1\r\n')
w("vbatree/VBA/dir", ovba(d))
w("vbatree/VBA/_VBA_PROJECT", b"\xcc\x61\xff\xff\x00\x00\x00")
w("vbatree/VBA/Module1", cache + ovba(eicar))
w("embedtree/\x01Ole10Native", struct.pack("<I", len(package)) + package)
obj = struct.pack("<II", 0x501, 2) + lp(b"Package") + struct.pack("<II", 0, 0) + struct.pack("<I", len(package)) + package
h = obj.hex()
w("x-object.rtf", b"{\\rtf1\\ansi\\deff0 Please open the attachment.\\par\r\n{\\object\\objemb\\objupdate"
  b"{\\*\\objclass Package}\\objw1000\\objh1000{\\*\\objdata\r\n" +
  b"\r\n".join(h[i:i + 64].encode() for i in range(0, len(h), 64)) + b"}}}\r\n")
PY
  gsf createole x-word.doc doctree/* >/dev/null 2>&1
  gsf createole x-vbaProject.bin vbatree/VBA >/dev/null 2>&1
  mkdir -p mtree/Macros && cp -r vbatree/* mtree/Macros/ && cp -r doctree/WordDocument mtree/
  gsf createole x-macro.doc mtree/* >/dev/null 2>&1
  gsf createole x-oleObject.bin embedtree/* >/dev/null 2>&1
  python3 - <<'PY'
import struct, zipfile, zlib
obj = open("x-oleObject.bin", "rb").read()
hdr = lambda ver, inst, typ, body: struct.pack("<HHI", ver | (inst << 4), typ, len(body)) + body
stream = (hdr(0xF, 0, 0x3E8, hdr(0, 1, 0x3E9, b"\0" * 40)) +
          hdr(0, 1, 0x1011, struct.pack("<I", len(obj)) + zlib.compress(obj)))
import os
os.makedirs("ppttree", exist_ok=True)
open("ppttree/PowerPoint Document", "wb").write(stream)
open("ppttree/Current User", "wb").write(b"\0" * 20)
with zipfile.ZipFile("x-embedded.docx", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types/>')
    z.writestr("word/document.xml", '<?xml version="1.0"?><w:document/>')
    z.writestr("word/embeddings/oleObject1.bin", obj)
with zipfile.ZipFile("x-macro.docm", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types/>')
    z.writestr("word/vbaProject.bin", open("x-vbaProject.bin", "rb").read())
PY
  gsf createole x-slides.ppt ppttree/* >/dev/null 2>&1
else note "gsf (libgsf-bin) or python3 missing"; fi
expect doc-package x-word.doc "$(chain '\{OLE2\}/eicar.com')"
expect doc-macro x-macro.doc "$(chain '\{OLE2\}/Macros/VBA/Module1.vba')"
expect ppt-object x-slides.ppt "$(chain '\{OLE2\}/PowerPoint Document/Object1/\{OLE2\}/eicar.com')"
expect docx-embedding x-embedded.docx "$(chain '\{ZIP\}/word/embeddings/oleObject1.bin/\{OLE2\}/eicar.com')"
expect docm-macro x-macro.docm "$(chain '\{ZIP\}/word/vbaProject.bin/\{OLE2\}/VBA/Module1.vba')"
expect rtf-package x-object.rtf "$(chain '\{RTF\}/eicar.com')"

expect plain-clean clean.txt "$(clean)"

if [ -n "$rar_fixture" ]; then
  cp "$rar_fixture" r.rar
  if [ "$mode" = kyvscan ]; then
    expect rar5-fixture r.rar "Rar-Member FOUND"
  else
    expect rar5-fixture r.rar "^1	.*	Rar-Member"
  fi
else note "RAR fixture or bsdtar missing"; fi

left=$(leftovers)
if [ -n "$left" ]; then echo "FAIL left behind in the temporary folder: $left"; failures=$((failures + 1)); fi
echo "$failures failure(s), $skipped case(s) skipped"
[ "$failures" -eq 0 ] || exit 1
[ "$skipped" -eq 0 ] || exit 77
