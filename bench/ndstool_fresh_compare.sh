#!/bin/sh
# New images from trees without a layout, against ndstool 2.3.1's `-c -h header.bin`.
#
# Needs an ndstool: NDSTOOL=/path/to/ndstool, or NDSTOOL_SRC=/path/to/an/ndstool/checkout (built
# into a temporary folder by bench/build_ndstool.sh). Without either it says so and exits 0
# (skipped).
#
# Each generated tree is built both ways. Where no folder holds more than one subfolder (ndstool
# numbers folders in the order the file system lists them, we in sorted order) the two images
# must be byte for byte the same; in every case `ndstool -x` of both must give the same files.
#
# Usage: bench/ndstool_fresh_compare.sh [BUILD_DIR]   (default build/ci)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/ci}
cli=$build/cli/cartscope-cli
work=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-fresh-XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ -z "${NDSTOOL:-}" ] && [ -n "${NDSTOOL_SRC:-}" ]; then
    "$here/bench/build_ndstool.sh" "$NDSTOOL_SRC" "$work/ndstool"
    NDSTOOL=$work/ndstool
fi
if [ -z "${NDSTOOL:-}" ] || [ ! -x "$NDSTOOL" ]; then
    echo "skipped: set NDSTOOL to an ndstool program or NDSTOOL_SRC to its source"
    exit 0
fi
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }

# header FILE HEADER_SIZE ENTRY RAM: a header template (title, game code, the fields the layout
# reads; the rest of the 0x200 bytes zero).
header() {
    python3 - "$@" <<'EOF'
import struct, sys
path, size, entry, ram = sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3], 0), int(sys.argv[4], 0)
h = bytearray(0x200)
h[0:12] = b"FRESHTREE\0\0\0"
h[12:16] = b"FRSH"
h[16:18] = b"01"
h[0x1E] = 0
struct.pack_into("<III", h, 0x24, entry, ram, 0)
struct.pack_into("<II", h, 0x34, 0x037F8000, 0x037F8000)
struct.pack_into("<I", h, 0x84, size)
open(path, "wb").write(h)
EOF
}

overlay_table() { # count file
    python3 - "$1" "$2" <<'EOF'
import struct, sys
n = int(sys.argv[1])
with open(sys.argv[2], "wb") as f:
    for i in range(n):
        f.write(struct.pack("<8I", i, 0x02100000 + i * 0x1000, 0x100, 0x20, 0, 0, i, 0))
EOF
}

rnd() { head -c "$1" /dev/urandom; }

failures=0
identical=0
# compare NAME TREE IDENTITY: builds TREE both ways and compares.
compare() {
    name=$1 tree=$2 identity=$3 dir=$work/$1
    sys=$tree/[system]
    mkdir -p "$dir/data"
    # ndstool takes the data tree apart from the system files.
    (cd "$tree" && find . -mindepth 1 -maxdepth 1 ! -name '[[]system[]]' -exec cp -a {} "$dir/data/" \;)
    set -- -c "$dir/peer.nds" -9 "$sys/arm9.bin" -7 "$sys/arm7.bin" -h "$sys/header.bin" -d "$dir/data"
    [ -f "$sys/y9.bin" ] && set -- "$@" -y9 "$sys/y9.bin"
    [ -f "$sys/y7.bin" ] && set -- "$@" -y7 "$sys/y7.bin"
    [ -d "$sys/overlay" ] && set -- "$@" -y "$sys/overlay"
    [ -f "$sys/banner.bin" ] && set -- "$@" -t "$sys/banner.bin"
    "$NDSTOOL" "$@" >/dev/null
    "$cli" build "$tree" "$dir/ours.nds" >/dev/null
    if [ "$identity" = yes ]; then
        if cmp "$dir/peer.nds" "$dir/ours.nds"; then
            identical=$((identical + 1))
            echo "$name: byte for byte identical ($(wc -c <"$dir/ours.nds") bytes)"
        else
            echo "$name: images differ" >&2
            failures=$((failures + 1))
        fi
    fi
    for side in peer ours; do
        mkdir -p "$dir/x-$side"
        x=$dir/x-$side
        "$NDSTOOL" -x "$dir/$side.nds" -9 "$x/arm9.bin" -7 "$x/arm7.bin" -h "$x/header.bin" \
            -y9 "$x/y9.bin" -y7 "$x/y7.bin" -y "$x/overlay" -t "$x/banner.bin" -d "$x/data" >/dev/null
    done
    if diff -r "$dir/x-peer" "$dir/x-ours" >/dev/null; then
        echo "$name: ndstool -x gives the same $(find "$dir/x-ours" -type f | wc -l) files"
    else
        echo "$name: ndstool -x of the two images differs" >&2
        diff -r "$dir/x-peer" "$dir/x-ours" >&2 || true
        failures=$((failures + 1))
    fi
}

# 1. A plain homebrew tree: a 16 KiB-padded ARM9 behind its stand-in secure area, one chain of
#    folders, an empty file, a hidden file both leave out.
t=$work/plain/PLAIN
mkdir -p "$t/[system]" "$t/a/b/c"
header "$t/[system]/header.bin" 0x4000 0x02000800 0x02000000
rnd 5000 >"$t/[system]/arm9.bin"
rnd 3001 >"$t/[system]/arm7.bin"
echo hello >"$t/hello.txt"
: >"$t/a/empty.bin"
rnd 777 >"$t/a/b/c/deep.bin"
echo hidden >"$t/a/.hidden"
compare plain "$t" yes

# 2. Overlays, a banner, an ARM9 with its footer that already starts with a secure area, names
#    whose byte order is not their case-folded order.
t=$work/overlays/OVL
mkdir -p "$t/[system]/overlay" "$t/Zeta"
header "$t/[system]/header.bin" 0x4000 0x02000000 0x02000000
printf '\377\336\377\347' >"$t/[system]/arm9.bin"
rnd 70000 >>"$t/[system]/arm9.bin"
printf '\041\006\300\336\000\013\000\000\220\112\001\000' >>"$t/[system]/arm9.bin"
rnd 40000 >"$t/[system]/arm7.bin"
overlay_table 3 "$t/[system]/y9.bin"
for i in 0 1 2; do rnd $((300 + i * 1000)) >"$t/[system]/overlay/overlay_000$i.bin"; done
rnd 2112 >"$t/[system]/banner.bin"
for n in B a _ Z 0; do rnd 100 >"$t/$n.dat"; done
rnd 513 >"$t/Zeta/x"
compare overlays "$t" yes

# 3. A header without a size (0x200 then) whose entry is 0x800 into RAM: 0x4000 header with
#    a stand-in secure area; the ARM7 and both overlay tables.
t=$work/arm7ovl/A7
mkdir -p "$t/[system]/overlay" "$t/d"
header "$t/[system]/header.bin" 0 0x02000800 0x02000000
rnd 40000 >"$t/[system]/arm9.bin"
rnd 100 >"$t/[system]/arm7.bin"
overlay_table 1 "$t/[system]/y9.bin"
overlay_table 1 "$t/[system]/y7.bin"
rnd 64 >"$t/[system]/overlay/overlay_0000.bin"
rnd 65 >"$t/[system]/overlay/overlay_0001.bin"
rnd 3 >"$t/d/odd"
compare arm7ovl "$t" yes

# 4. Folders with several subfolders: only the folder IDs in the name table may differ.
t=$work/wide/WIDE
mkdir -p "$t/[system]"
header "$t/[system]/header.bin" 0x4000 0x02000800 0x02000000
rnd 20000 >"$t/[system]/arm9.bin"
rnd 20000 >"$t/[system]/arm7.bin"
for d in zz mm aa; do
    for s in q p; do mkdir -p "$t/$d/$s" && rnd 300 >"$t/$d/$s/f_$d$s"; done
    rnd 200 >"$t/$d/top"
done
compare wide "$t" no

# 5. Many files in several folders.
t=$work/many/MANY
mkdir -p "$t/[system]"
header "$t/[system]/header.bin" 0x4000 0x02000800 0x02000000
rnd 20000 >"$t/[system]/arm9.bin"
rnd 20000 >"$t/[system]/arm7.bin"
for d in 1 2 3 4; do
    mkdir -p "$t/dir$d"
    i=0
    while [ $i -lt 200 ]; do
        rnd $((i * 37 % 1500)) >"$t/dir$d/file$i.bin"
        i=$((i + 1))
    done
done
compare many "$t" no

if [ "$failures" -ne 0 ]; then
    echo "$failures differences" >&2
    exit 1
fi
echo "all trees agree with ndstool ($identical byte for byte)"
