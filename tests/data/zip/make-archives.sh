#!/bin/sh
# Rebuilds the archives made by real tools (Info-ZIP zip and Python's zipfile) next to this
# script, and the hand-made hostile ones through make-hostile.py. Needs zip and python3.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022
export TZ=UTC

# A tree with the cases that matter when unpacking: empty, binary, executable, read-only and
# set-user-id files, nested directories with their own modes, an empty directory.
tree="$work/tree"
mkdir -p "$tree/docs/deep" "$tree/emptydir"
printf 'Hello, world\n' >"$tree/hello.txt"
: >"$tree/empty.txt"
printf '#!/bin/sh\necho hi\n' >"$tree/run.sh"
printf 'do not change\n' >"$tree/readonly.txt"
printf 'set-user-id\n' >"$tree/suid.bin"
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 4)' >"$tree/bin.dat"
python3 -c 'print("All work and no play makes a dull archive.\n" * 50, end="")' \
    >"$tree/docs/readme.md"
printf 'deep note\n' >"$tree/docs/deep/note.txt"
chmod 0755 "$tree/run.sh"
chmod 0444 "$tree/readonly.txt"
chmod 4755 "$tree/suid.bin"
chmod 0640 "$tree/docs/readme.md"
chmod 0600 "$tree/docs/deep/note.txt"
chmod 0750 "$tree/docs"
chmod 0700 "$tree/docs/deep"
chmod 0755 "$tree/emptydir"

# Symbolic links, stored as links by zip -y: to a file, up and out of a directory (still
# inside the tree), to a directory, and dangling.
links="$work/links"
mkdir -p "$links/docs"
printf 'target\n' >"$links/hello.txt"
printf 'inside docs\n' >"$links/docs/page.txt"
ln -s hello.txt "$links/link-to-file"
ln -s ../hello.txt "$links/docs/link-up"
ln -s docs "$links/link-to-dir"
ln -s missing.txt "$links/dangling"

find "$tree" "$links" -exec touch -h -d '2024-05-01 12:00:00' {} +

cd "$here"
rm -f infozip-*.zip python-*.zip
(cd "$tree" && zip -q -r -0 "$here/infozip-stored.zip" .)
(cd "$tree" && zip -q -r -9 "$here/infozip-deflated.zip" .)
(cd "$links" && zip -q -r -y "$here/infozip-symlinks.zip" .)
printf 'An archive comment written by zip -z.\n' |
    (cd "$tree" && zip -q -z "$here/infozip-comment.zip" hello.txt docs/readme.md)

python3 - "$here" <<'PY'
import io, struct, sys, zipfile

here = sys.argv[1]

class Unseekable(io.RawIOBase):
    """Makes zipfile stream its output: data descriptors follow the data and the local
    headers carry zero sizes and CRC."""
    def __init__(self):
        self.data = bytearray()
    def writable(self):
        return True
    def write(self, b):
        self.data += b
        return len(b)

def info(name, mode):
    zi = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 12, 0, 0))
    zi.external_attr = mode << 16
    zi.compress_type = zipfile.ZIP_DEFLATED
    return zi

sink = Unseekable()
with zipfile.ZipFile(sink, "w") as zf:
    zf.writestr(info("./a.txt", 0o100644), b"dot-slash name\n" * 20)
    zf.writestr(info("./pkg/", 0o40755), b"")
    zf.writestr(info("pkg/module.py", 0o100644), b"print('hello from the module')\n" * 30)
    stored = info("pkg/data.bin", 0o100600)
    stored.compress_type = zipfile.ZIP_STORED
    zf.writestr(stored, bytes(range(256)))
    zf.writestr(info("tool.sh", 0o100755), b"#!/bin/sh\nexit 0\n")
data = bytes(sink.data)
# Every local header must carry the data-descriptor bit and zero sizes, or the archive
# does not test what it is meant to.
pos = 0
while data[pos:pos + 4] == b"PK\x03\x04":
    flags, = struct.unpack_from("<H", data, pos + 6)
    crc, csize, usize, nlen, xlen = struct.unpack_from("<IIIHH", data, pos + 14)
    assert flags & 0x08 and crc == csize == usize == 0, data[pos + 30:pos + 30 + nlen]
    pos = data.index(b"PK\x07\x08", pos) + 16
with open(f"{here}/python-descriptor.zip", "wb") as f:
    f.write(data)

with zipfile.ZipFile(f"{here}/python-utf8.zip", "w") as zf:
    zf.writestr(info("grüße.txt", 0o100644), "Grüße\n".encode())
PY

python3 "$here/make-hostile.py"
