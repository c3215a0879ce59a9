#!/bin/sh
# `organise --format torrentzip` against the peer TorrentZip tool (trrntzip, the C program that
# collection tools take as the reference), both linked against the system's zlib.
#
# Needs a trrntzip: TRRNTZIP=/path/to/trrntzip, or TRRNTZIP_SRC=/path/to/a/trrntzip/checkout
# (its src/ folder is built into a temporary folder, never into this tree). Without either it
# says so and exits 0 (skipped).
#
# 1. Generated dumps listed in a generated DAT (one game of one image, one game of three roms
#    named in mixed case, an empty rom, an image padded with 0xFF to 4 MiB, incompressible
#    bytes) are organised with `--format torrentzip`; each zip is then made again from a stored
#    zip of the same members by `trrntzip -f`, and the two are compared with cmp.
# 2. The same over the members the TorrentZipCompare test builds in code.
# The peer writes no UTF-8 flag, so names outside ASCII are not compared.
#
# Usage: bench/torrentzip_compare.sh [BUILD_DIR]   (default build/debug; targets cartscope-cli
#                                                   and archive_tests); KEEP=1 keeps the files
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/debug}
cli=$build/cli/cartscope-cli
work=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-torrentzip-XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

if [ -z "${TRRNTZIP:-}" ] && [ -n "${TRRNTZIP_SRC:-}" ]; then
    cp -r "$TRRNTZIP_SRC/src" "$work/tz-src"
    cc -O2 -w -DTZ_VERSION='"compare"' -DUNZ_MAXFILENAMEINZIP=1024 -D_FILE_OFFSET_BITS=64 \
        -DHAVE_FSEEKO -DHAVE_FTELLO -o "$work/trrntzip" "$work"/tz-src/*.c \
        "$work"/tz-src/minizip/*.c -lz -lm
    TRRNTZIP=$work/trrntzip
fi
if [ -z "${TRRNTZIP:-}" ] || [ ! -x "$TRRNTZIP" ]; then
    echo "skipped: set TRRNTZIP to a trrntzip program or TRRNTZIP_SRC to its source"
    exit 0
fi
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }
echo "zlib $(printf '#include <zlib.h>\nZLIB_VERSION\n' | cc -E -P - | tail -1)"

# The dumps and their DAT: game name, then each rom as name:kind:size.
python3 - "$work" <<'EOF'
import hashlib, os, random, sys, zlib
work = sys.argv[1]
rng = random.Random(23)
def mixed(n):
    # Half text, half noise in 4 KiB runs: neither trivial nor incompressible under deflate.
    out = bytearray()
    while len(out) < n:
        out += b"cartscope " * 410 if len(out) // 4096 % 2 == 0 else rng.randbytes(4096)
    return bytes(out[:n])
games = [
    ("One Image (USA)", [("One Image (USA).nds", mixed(300000))]),
    ("Three Roms (Europe)", [("b.nds", mixed(70000)), ("A.nds", bytes(7)), ("C.nds", mixed(5000))]),
    ("Empty Rom (Japan)", [("game.nds", mixed(100000)), ("game.sav", b"")]),
    ("Padded (Europe)", [("Padded (Europe).nds", mixed(200000) + b"\xff" * (4194304 - 200000))]),
    ("Noise (USA)", [("noise.bin", rng.randbytes(500000))]),
]
os.mkdir(os.path.join(work, "dumps"))
with open(os.path.join(work, "compare.dat"), "w") as dat:
    dat.write('<?xml version="1.0"?>\n<datafile>\n\t<header><name>Compare</name></header>\n')
    for game, roms in games:
        dat.write('\t<game name="%s">\n\t\t<description>%s</description>\n' % (game, game))
        for name, data in roms:
            # Each dump on disk under a name of its own; the DAT gives the member's name.
            with open(os.path.join(work, "dumps", "%s-%s" % (game, name)), "wb") as f:
                f.write(data)
            dat.write('\t\t<rom name="%s" size="%d" crc="%08x" md5="%s" sha1="%s"/>\n'
                      % (name, len(data), zlib.crc32(data), hashlib.md5(data).hexdigest(),
                         hashlib.sha1(data).hexdigest()))
        dat.write("\t</game>\n")
    dat.write("</datafile>\n")
EOF
# Only .nds names are dumps to organise: the others go in under that suffix.
for f in "$work"/dumps/*; do
    case $f in *.nds) ;; *) mv "$f" "$f.nds" ;; esac
done
XDG_DATA_HOME=$work/data "$cli" organise --dat "$work/compare.dat" --to "$work/ours" \
    --format torrentzip "$work/dumps" >"$work/organise.txt" ||
    { cat "$work/organise.txt" >&2; exit 1; }

failures=0 count=0
for ours in "$work"/ours/Compare/*.zip; do
    count=$((count + 1))
    name=$(basename "$ours")
    # A stored zip of the same members, for the peer to rewrite in place.
    mkdir -p "$work/peer"
    python3 - "$ours" "$work/peer/$name" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as src, zipfile.ZipFile(sys.argv[2], "w") as dst:
    for info in reversed(src.infolist()):
        dst.writestr(info.filename, src.read(info.filename), zipfile.ZIP_STORED)
EOF
    "$TRRNTZIP" -f -q -g -l -e "$work/peer/$name" >/dev/null
    if cmp -s "$ours" "$work/peer/$name"; then
        echo "$name: equal ($(stat -c %s "$ours") bytes)"
    else
        echo "$name: differs" >&2
        cmp "$ours" "$work/peer/$name" >&2 || true
        failures=$((failures + 1))
    fi
done
[ "$count" -eq 5 ] || { echo "organise wrote $count zips, not 5" >&2; failures=$((failures + 1)); }

TRRNTZIP=$TRRNTZIP "$build/tests/archive_tests" --gtest_filter='TorrentZipCompare.*' \
    --gtest_brief=1 || failures=$((failures + 1))

if [ "$failures" -ne 0 ]; then
    echo "$failures differences" >&2
    exit 1
fi
echo "every zip equals the peer's bytes"
