#!/bin/sh
# The system files against ndstool 2.3.1, the established extractor.
#
# Needs an ndstool: NDSTOOL=/path/to/ndstool, or NDSTOOL_SRC=/path/to/an/ndstool/checkout (its
# source is built into a temporary folder, never into this tree). Without either it says so and
# exits 0 (skipped).
#
# 1. Images ndstool itself builds (-c): with and without overlays, an ARM9 with a footer; each is
#    extracted by `ndstool -x ... -9 -7 -9i -7i -h -y9 -y7 -y -t` and by
#    `cartscope-cli extract --system-only`, and every file is compared byte for byte.
# 2. The fixture images of the test suite, through the NdstoolCompare test.
#
# Usage: bench/ndstool_compare.sh [BUILD_DIR]   (default build/ci)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/ci}
cli=$build/cli/cartscope-cli
work=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-ndstool-XXXXXX")
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

failures=0
compare_image() { # name image
    name=$1 image=$2 peer=$work/$1/peer ours=$work/$1/ours
    mkdir -p "$peer"
    "$NDSTOOL" -x "$image" -9 "$peer/arm9.bin" -7 "$peer/arm7.bin" -9i "$peer/arm9i.bin" \
        -7i "$peer/arm7i.bin" -h "$peer/header.bin" -y9 "$peer/y9.bin" -y7 "$peer/y7.bin" \
        -y "$peer/overlay" -t "$peer/banner.bin" >/dev/null
    "$cli" extract --system-only "$image" "$ours" >/dev/null
    sys=$(find "$ours" -maxdepth 2 -name '[[]system[]]' -type d)
    # An image without a banner (offset 0): ndstool writes header bytes as banner.bin; we write
    # no banner.bin at all.
    if [ "$(od -An -tx4 -j104 -N4 "$image" | tr -d ' ')" = 00000000 ]; then
        rm -f "$peer/banner.bin"
        echo "$name: no banner (ndstool's banner.bin would be header bytes; not compared)"
    fi
    count=0
    for f in $(cd "$peer" && find . -type f | sort); do
        count=$((count + 1))
        if ! cmp -s "$peer/$f" "$sys/$f"; then
            echo "$name: $f differs" >&2
            failures=$((failures + 1))
        fi
    done
    ours_count=$(find "$sys" -type f | wc -l)
    if [ "$ours_count" -ne "$count" ]; then
        echo "$name: ndstool wrote $count files, cartscope-cli $ours_count" >&2
        failures=$((failures + 1))
    fi
    echo "$name: $count files compared"
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

in=$work/in
mkdir -p "$in/files/sub" "$in/ov"
head -c 5000 /dev/urandom > "$in/arm9.bin"
head -c 3000 /dev/urandom > "$in/arm7.bin"
echo hello > "$in/files/a.txt"
head -c 700 /dev/urandom > "$in/files/sub/b.bin"
for i in 0 1 2; do head -c $((300 + i * 100)) /dev/urandom > "$in/ov/overlay_000$i.bin"; done
overlay_table 3 "$in/y9.bin"
icon=${NDSTOOL_SRC:+$NDSTOOL_SRC/default_icon.bmp}

"$NDSTOOL" -c "$work/plain.nds" -9 "$in/arm9.bin" -7 "$in/arm7.bin" -d "$in/files" >/dev/null
compare_image plain "$work/plain.nds"

"$NDSTOOL" -c "$work/overlays.nds" -9 "$in/arm9.bin" -7 "$in/arm7.bin" -y9 "$in/y9.bin" \
    -y "$in/ov" -d "$in/files" ${icon:+-b "$icon" "Cartscope;Compare;Test"} >/dev/null
compare_image overlays "$work/overlays.nds"

# An ARM9 followed by its footer: ndstool keeps the 12 bytes after the binary.
cp "$in/arm9.bin" "$in/arm9f.bin"
printf '\041\006\300\336\000\013\000\000\220\112\001\000' >> "$in/arm9f.bin"
"$NDSTOOL" -c "$work/footer.nds" -9 "$in/arm9f.bin" -7 "$in/arm7.bin" -d "$in/files" >/dev/null
compare_image footer "$work/footer.nds"
"$cli" list --system-only "$work/footer.nds" | grep -q "arm9.bin.*	5012$" ||
    { echo "footer: arm9.bin is not 5000 + 12 bytes" >&2; failures=$((failures + 1)); }

NDSTOOL=$NDSTOOL "$build/tests/cli_tests" --gtest_filter='NdstoolCompare.*' --gtest_brief=1 ||
    failures=$((failures + 1))

if [ "$failures" -ne 0 ]; then
    echo "$failures differences" >&2
    exit 1
fi
echo "all system files equal ndstool's"
