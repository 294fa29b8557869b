#!/usr/bin/env python3
"""Archives of mail for the compressed-stream tests, made with Python's own gzip, tarfile and
zipfile, and decompression bombs.

  make_archives.py corpus CORPUS OUT   archives of the messages in CORPUS, and OUT/manifest.txt
  make_archives.py zeros GIB OUT       a gzip file of GIB GiB of zeros (made without writing them)
  make_archives.py nested OUT          a zip of zips of zips of zips of 64 MiB zero files, 16 wide

CORPUS holds maildir/<name> (one message a file), mbox<N>/<i>.eml (the messages of mbox file
mbox<N>, in order) with mbox<N>.mbox (the file), and eml/<name>.eml. The manifest has a line per
message inside an archive: archive, message file (relative to CORPUS), then the steps from the
archive's start to the message, outermost first, each kind:offset:at, the outermost offset from
the archive file's start.
"""
import gzip
import io
import os
import struct
import sys
import tarfile
import zipfile
import zlib


def corpus(src, out):
    lines = []
    # mbox files, gzip'd whole as a log rotation leaves them.
    n = 0
    while os.path.exists(os.path.join(src, f"mbox{n}.mbox")):
        with open(os.path.join(src, f"mbox{n}.mbox"), "rb") as f:
            mbox = f.read()
        name = f"mbox{n}.gz"
        with gzip.open(os.path.join(out, name), "wb", compresslevel=6) as g:
            g.write(mbox)
        i = 0
        while os.path.exists(os.path.join(src, f"mbox{n}", f"{i}.eml")):
            rel = f"mbox{n}/{i}.eml"
            with open(os.path.join(src, rel), "rb") as f:
                at = mbox.index(f.read())
            lines.append(f"{name}\t{rel}\tgzip:0:{at}")
            i += 1
        n += 1
    # A Maildir as a .tar.gz.
    maildir = sorted(os.listdir(os.path.join(src, "maildir")))
    with tarfile.open(os.path.join(out, "maildir.tar.gz"), "w:gz") as t:
        for m in maildir:
            t.add(os.path.join(src, "maildir", m), arcname=f"Maildir/cur/{m}")
    with tarfile.open(os.path.join(out, "maildir.tar.gz"), "r:gz") as t:
        for member in t.getmembers():
            m = os.path.basename(member.name)
            lines.append(f"maildir.tar.gz\tmaildir/{m}\tgzip:0:{member.offset_data}")
    # .eml files in a zip, deflated and stored by turns.
    emls = sorted(os.listdir(os.path.join(src, "eml")))
    half = len(emls) // 2
    with zipfile.ZipFile(os.path.join(out, "export.zip"), "w") as z:
        for k, e in enumerate(emls[:half]):
            z.write(os.path.join(src, "eml", e), arcname=e,
                    compress_type=zipfile.ZIP_DEFLATED if k % 2 == 0 else zipfile.ZIP_STORED)
    with zipfile.ZipFile(os.path.join(out, "export.zip")) as z:
        for info in z.infolist():
            lines.append(f"export.zip\teml/{info.filename}\tzip:{info.header_offset}:0")
    # The other half in a zip inside a .tar.gz: three streams deep from the drive.
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for e in emls[half:]:
            z.write(os.path.join(src, "eml", e), arcname=e)
    inner = buf.getvalue()
    with tarfile.open(os.path.join(out, "nested.tar.gz"), "w:gz") as t:
        info = tarfile.TarInfo("backup/export.zip")
        info.size = len(inner)
        t.addfile(info, io.BytesIO(inner))
    with tarfile.open(os.path.join(out, "nested.tar.gz"), "r:gz") as t:
        base = t.getmember("backup/export.zip").offset_data
    with zipfile.ZipFile(io.BytesIO(inner)) as z:
        for info in z.infolist():
            o = base + info.header_offset
            lines.append(f"nested.tar.gz\teml/{info.filename}\tgzip:0:{o} zip:{o}:0")
    with open(os.path.join(out, "manifest.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def zero_deflate(mib, wbits):
    """Raw deflate of MIB MiB of zeros: after a full flush every MiB compresses to the same
    blocks, so they are repeated instead of compressed."""
    c = zlib.compressobj(9, zlib.DEFLATED, wbits)
    z = bytes(1 << 20)
    first = c.compress(z) + c.flush(zlib.Z_FULL_FLUSH)
    again = c.compress(z) + c.flush(zlib.Z_FULL_FLUSH)
    return first + again * (mib - 1) + c.flush()


def zip_of(entries):
    """A zip of (name, raw deflate data, inflated size) entries, written by hand so that data
    deflated elsewhere is stored as it is."""
    out, central = bytearray(), bytearray()
    for name, data, size in entries:
        n = name.encode()
        offset = len(out)
        fields = struct.pack("<HHHHHIIIHH", 20, 0, 8, 0, 0x21, 0, len(data), size & 0xFFFFFFFF,
                             len(n), 0)
        out += b"PK\x03\x04" + fields + n + data
        central += (b"PK\x01\x02" + struct.pack("<H", 20) + fields +
                    struct.pack("<HHHII", 0, 0, 0, 0, offset) + n)
    end = struct.pack("<4sHHHHIIH", b"PK\x05\x06", 0, 0, len(entries), len(entries),
                      len(central), len(out), 0)
    return bytes(out + central + end)


def nested(out):
    level = zip_of([(f"{i:x}.bin", zero_deflate(64, -15), 64 << 20) for i in range(16)])
    for depth in range(3):
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        data = c.compress(level) + c.flush()
        level = zip_of([(f"{depth}-{i:x}.zip", data, len(level)) for i in range(16)])
    with open(out, "wb") as f:
        f.write(level)


def main():
    mode = sys.argv[1]
    if mode == "corpus":
        corpus(sys.argv[2], sys.argv[3])
    elif mode == "zeros":
        with open(sys.argv[3], "wb") as f:
            f.write(b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff")
            f.write(zero_deflate(int(sys.argv[2]) * 1024, -15))
            f.write(struct.pack("<II", 0, 0))  # not the data's CRC and size: never reached
    elif mode == "nested":
        nested(sys.argv[2])


main()
