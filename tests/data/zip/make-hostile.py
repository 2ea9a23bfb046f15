#!/usr/bin/env python3
"""Writes the hand-made archives next to this script.

Most break one rule an unpacker must enforce; the reader has to refuse them (without writing
anything whenever the fault shows in the headers) and name the entry. The last two are
harmless ones that no tool on this system writes.
"""
import pathlib
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent
DOS_TIME = ((2024 - 1980) << 25 | 5 << 21 | 1 << 16) | (12 << 11)
FILE, DIR, LINK = 0o100644, 0o40755, 0o120777


def deflate(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


class Entry:
    def __init__(self, name, data=b"", *, method=0, mode=FILE, flags=0, version=20, host=3,
                 attributes=None, crc=None, csize=None, usize=None, payload=None, offset=None):
        self.name = name.encode() if isinstance(name, str) else name
        if payload is None:
            payload = deflate(data) if method == 8 else data
        self.payload = payload
        self.method, self.flags, self.version, self.host = method, flags, version, host
        # Unix hosts keep the mode in the high half; MS-DOS hosts use the low byte.
        self.attributes = mode << 16 if attributes is None else attributes
        self.crc = zlib.crc32(data) if crc is None else crc
        self.csize = len(payload) if csize is None else csize
        self.usize = len(data) if usize is None else usize
        self.offset = offset  # reuse another entry's local header instead of writing one


def write(file_name, entries, *, count=None):
    out, central = bytearray(), bytearray()
    for e in entries:
        offset = e.offset
        if offset is None:
            offset = len(out)
            out += struct.pack("<IHHHIIIIHH", 0x04034B50, e.version, e.flags, e.method, DOS_TIME,
                               e.crc, e.csize, e.usize, len(e.name), 0)
            out += e.name + e.payload
        central += struct.pack("<IHHHHIIIIHHHHHII", 0x02014B50, e.host << 8 | 20, e.version,
                               e.flags, e.method, DOS_TIME, e.crc, e.csize, e.usize,
                               len(e.name), 0, 0, 0, 0, e.attributes, offset)
        central += e.name
    n = len(entries) if count is None else count
    out += central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, n, n, len(central),
                                 len(out), 0)
    (HERE / file_name).write_bytes(out)


good = Entry("good.txt", b"fine\n")
write("slip-parent.zip", [good, Entry("../../escaped.txt", b"x")])
write("slip-absolute.zip", [good, Entry("/tmp/qlt-zipreader-absolute.txt", b"x")])
write("slip-inner.zip", [good, Entry("a/b/../../../escaped.txt", b"x")])
write("nul-name.zip", [good, Entry(b"escaped.txt\0.png", b"x")])
write("empty-name.zip", [good, Entry("./", b"")])
write("link-escape.zip", [Entry("l", b"../../outside", mode=LINK), Entry("l/x.txt", b"x")])
write("link-absolute.zip", [good, Entry("abs", b"/tmp", mode=LINK)])
write("link-write-through.zip",
      [Entry("sub/", mode=DIR), Entry("l", b"sub", mode=LINK), Entry("l/x.txt", b"x")])
# Each link alone stays inside; together l1 leaves: a/b/l2 is the destination, so its ".."
# is the destination's parent.
write("link-chain.zip",
      [Entry("a/b/l2", b"../..", mode=LINK), Entry("l1", b"a/b/l2/..", mode=LINK)])
write("duplicate.zip", [good, Entry("./good.txt", b"other\n")])
write("file-parent.zip", [Entry("a", b"file\n"), Entry("a/b.txt", b"x")])

write("bomb-ratio.zip",
      [Entry("big.bin", method=8, payload=deflate(bytes(1000)), usize=4_000_000_000, crc=0)])
write("bomb-total.zip", [Entry("a.bin", payload=b"", csize=3_000_000_000, usize=3_000_000_000),
                         Entry("b.bin", payload=b"", csize=3_000_000_000, usize=3_000_000_000)])
shared = Entry("a.txt", b"shared data\n" * 10, method=8)
write("overlap.zip", [shared, Entry("b.txt", b"shared data\n" * 10, method=8, offset=0),
                      Entry("c.txt", b"shared data\n" * 10, method=8, offset=0)])
write("past-directory.zip", [Entry("long.bin", payload=b"abc", csize=1000, usize=1000)])
write("bad-local-header.zip", [good, Entry("b.txt", b"x", offset=3)])
write("truncated-directory.zip", [good, Entry("b.txt", b"x")], count=3)

write("encrypted.zip", [good, Entry("secret.txt", b"x", flags=1)])
write("method12.zip", [good, Entry("b.bz2", b"x", method=12)])
write("version45.zip", [good, Entry("d.txt", b"x", version=45)])
write("zip64.zip", [good, Entry("d.bin", payload=b"", csize=0xFFFFFFFF, usize=0xFFFFFFFF,
                                version=45)])
write("unknown-host.zip", [good, Entry("vm.txt", b"x", host=4)])

# Faults that show only while the data is read.
write("crc-stored.zip", [good, Entry("bad.txt", b"content\n", crc=0x12345678)])
write("crc-deflated.zip", [good, Entry("bad.txt", b"content\n" * 50, method=8, crc=0x12345678)])
write("corrupt-deflate.zip", [good, Entry("bad.bin", method=8, payload=b"\xff" * 20, usize=100)])
cut = b"no end in sight\n" * 100
write("cut-deflate.zip", [good, Entry("bad.txt", cut, method=8, payload=deflate(cut)[:-6])])
write("oversize.zip", [good, Entry("bad.txt", b"a" * 5000, method=8, usize=1000)])
write("undersize.zip", [good, Entry("bad.txt", b"0123456789", method=8, usize=20)])

# Not hostile: written the way Java's jar tool does, MS-DOS host and no attributes at all, so
# only the trailing "/" tells the directory; the read-only bit marks the file.
write("dos-host.zip", [Entry("META-INF/", host=0, attributes=0),
                       Entry("META-INF/MANIFEST.MF", b"Manifest-Version: 1.0\n", method=8, host=0,
                             attributes=0x01)])

# Harmless by itself; the test plants a link pointing out of the destination at "evil".
write("through-existing-link.zip", [Entry("evil/x.txt", b"x\n")])
