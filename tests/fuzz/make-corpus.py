#!/usr/bin/env python3
"""Writes the zip fuzzer's seed corpus into DIR (by default tests/fuzz/corpus/): valid-*
unpack, all others are refused; the same files on every run."""
import io
import os
import struct
import sys
import zipfile
import zlib

def archive(entries, compression=zipfile.ZIP_DEFLATED, zip64=False, comment=b""):
    """entries: (name, data) or (name, data, unix mode)."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression, allowZip64=True) as z:
        for entry in entries:
            info = zipfile.ZipInfo(entry[0], (2024, 6, 7, 12, 0, 0))
            info.compress_type = compression
            if len(entry) > 2:
                info.external_attr = entry[2] << 16
                info.create_system = 3
            with z.open(info, "w", force_zip64=zip64) as f:
                f.write(entry[1])
        z.comment = comment
    return out.getvalue()


def raw_entry(name, data, flags=0, method=0, crc=None, size=None, csize=None, made_by=0x031e,
              external=0o100644 << 16, version=20, extra=b"", local_name=None):
    """One entry's local header and data, and its central header (with the extra field)."""
    crc = zlib.crc32(data) if crc is None else crc
    size = len(data) if size is None else size
    csize = len(data) if csize is None else csize
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, version, flags, method, 0, 0x58E7, crc, csize,
                        size, len(name), 0) + (local_name or name) + data
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, made_by, version, flags, method, 0,
                          0x58E7, crc, csize, size, len(name), len(extra), 0, 0, 0, external,
                          0) + name + extra
    return local, central


def raw_archive(entries, comment=b"", offsets=None):
    """offsets: where each central record says its entry lies (default: in turn)."""
    body, centrals = b"", []
    for i, (local, central) in enumerate(entries):
        offset = len(body) if offsets is None else offsets[i]
        body += local if offsets is None or i == 0 else b""
        centrals.append(central[:42] + struct.pack("<I", offset) + central[46:])
    directory = b"".join(centrals)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(centrals), len(centrals), len(directory),
                      len(body), len(comment)) + comment
    return body + directory + end


def deflated(data, level, cut=0, extra=b""):
    """One entry of data whose raw deflate stream is cut short or holds more than data."""
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    stream = (c.compress(data + extra) + c.flush())[:-cut or None]
    return raw_archive([raw_entry(b"e", stream, method=8, crc=zlib.crc32(data), size=len(data))])


def corpus():
    text = b"".join(b"line %d of a package\n" % i for i in range(300))
    inner = raw_entry(b"b.txt", b"inner")
    valid = {
        "valid-deflated.zip": archive([("packages/a.txt", text), ("packages/b/c.bin", bytes(range(256)) * 8),
                                       ("cache/", b""), ("index.json", b'{"v": 1}')]),
        "valid-stored.zip": archive([("a.txt", text), ("d/e.txt", b"e\n")], zipfile.ZIP_STORED),
        "valid-zip64.zip": archive([("big/a.txt", text)], zip64=True),
        "valid-empty.zip": archive([]),
        "valid-empty-file.zip": archive([("empty", b"")]),
        "valid-unicode.zip": archive([("caf\u00e9/\u65e5\u672c.txt", b"x")]),
        "valid-modes.zip": archive([("run.sh", b"#!/bin/sh\n", 0o104755), ("dir/", b"", 0o040777)]),
        "valid-comment.zip": archive([("a", b"a")], comment=b"a comment"),
        "valid-bomb.zip": archive([("bomb", bytes(4 << 20))]),  # 4 MiB from 4 KiB
        "valid-setuid.zip": archive([("suid", b"x", 0o106777)]),  # unpacked with a capped mode
        "valid-deep.zip": archive([("/".join("d%d" % i for i in range(40)) + "/f", b"deep")]),
        # As libarchive writes them: "./" first, then "./"-prefixed names.
        "valid-dot.zip": archive([("./", b""), ("./a.txt", b"a"), ("./b/", b""), ("b/./c.txt", b"c")]),
        "valid-long-name.zip": archive([("n" * 255 + "/" + "m" * 255, b"long")]),
        "valid-stored-blocks.zip": deflated(text * 12, 0),
    }
    hostile = {
        "hostile-dotdot.zip": archive([("ok.txt", b"ok"), ("../escape.txt", b"x")]),
        "hostile-dotdot-inner.zip": archive([("a/../../escape.txt", b"x")]),
        "hostile-absolute.zip": archive([("/tmp/escape.txt", b"x")]),
        "hostile-backslash.zip": archive([("..\\escape.txt", b"x")]),
        "hostile-drive.zip": archive([("C:/escape.txt", b"x")]),
        "hostile-dot-duplicate.zip": archive([("a.txt", b"x"), ("./a.txt", b"y")]),
        "hostile-empty-segment.zip": archive([("a//b.txt", b"x")]),
        "hostile-control.zip": archive([("a\x01b.txt", b"x")]),
        "hostile-symlink.zip": archive([("link", b"../../..", 0o120777), ("link/escape.txt", b"x")]),
        "hostile-symlink-file.zip": archive([("link", b"/etc/passwd", 0o120777)]),
        "hostile-device.zip": archive([("dev", b"", 0o020644)]),
        "hostile-fifo.zip": archive([("fifo", b"", 0o010644)]),
        "hostile-duplicate.zip": raw_archive([raw_entry(b"a.txt", b"one"), raw_entry(b"a.txt", b"two")]),
        "hostile-file-then-dir.zip": archive([("a", b"file"), ("a/b", b"x")]),
        "hostile-encrypted.zip": raw_archive([raw_entry(b"a.txt", b"secret", flags=1)]),
        "hostile-method.zip": raw_archive([raw_entry(b"a.txt", b"x", method=12)]),
        "hostile-aes.zip": raw_archive([raw_entry(b"a.txt", b"x", flags=1, method=99)]),
        "hostile-local-name.zip": raw_archive([raw_entry(b"good", b"x", local_name=b"evil")]),
        # The first entry's data holds the whole second entry: two files from one body.
        "hostile-overlap-body.zip": raw_archive([raw_entry(b"a.txt", inner[0]), inner], offsets=[0, 35]),
        # 2^60 bytes declared: more than any disk holds.
        "hostile-space.zip": raw_archive([raw_entry(
            b"huge", zlib.compress(b"x")[2:-4], method=8, size=0xFFFFFFFF, made_by=0x032D,
            version=45, extra=struct.pack("<HHQ", 1, 8, 1 << 60))]),
        "hostile-size-lie.zip": raw_archive([raw_entry(b"a.txt", b"short", size=1 << 30)]),
        "hostile-overlap.zip": (lambda e: raw_archive([e, e]))(raw_entry(b"same.txt", b"x")),
        # A Zip64 compressed size that makes offset + size wrap.
        "hostile-zip64-wrap.zip": raw_archive([raw_entry(
            b"wrap.txt", b"x", method=8, csize=0xFFFFFFFF, made_by=0x032D, version=45,
            extra=struct.pack("<HHQ", 1, 8, (1 << 64) - 16))]),
    }
    base = valid["valid-deflated.zip"]
    end = base.rfind(b"PK\x05\x06")
    directory = struct.unpack("<I", base[end + 16:end + 20])[0]
    broken = {
        "broken-truncated.zip": base[:len(base) // 2],
        "broken-no-end.zip": base[:end],
        "broken-crc.zip": raw_archive([raw_entry(b"a.txt", b"data", crc=0xDEADBEEF)]),
        "broken-deflate.zip": raw_archive([raw_entry(b"a.txt", b"\xff\xff\xff\xff", method=8,
                                                     size=100)]),
        "broken-offset.zip": base[:directory + 42] + b"\xff\xff\xff\x7f" + base[directory + 46:],
        "broken-comment-length.zip": base[:-2] + b"\x10\x00",
        "broken-count.zip": base[:end + 10] + b"\xff\xff" + base[end + 12:],
        "broken-zero.zip": b"",
        "broken-end-only.zip": struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, 46, 0, 0),
        "broken-garbage.zip": bytes((i * 37 + 11) & 0xFF for i in range(700)),
        "broken-zip64-locator.zip": valid["valid-zip64.zip"][:-60] + bytes(60),
        "broken-deflate-cut.zip": deflated(bytes(1 << 20), 6, cut=3),
        "broken-deflate-extra.zip": deflated(text, 6, extra=b"x"),
    }
    # Inputs the fuzzer found faults with, kept so that every run tries them again.
    regression = {
        # A nameless entry marked a directory: the name's last character was read.
        "regression-empty-directory-name.zip": raw_archive([raw_entry(b"", b"", external=0x10)]),
    }
    return {**valid, **hostile, **broken, **regression}


if __name__ == "__main__":
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(target, exist_ok=True)
    for name, data in sorted(corpus().items()):
        with open(os.path.join(target, name), "wb") as out:
            out.write(data)
    print("%d archives in %s" % (len(corpus()), target))
