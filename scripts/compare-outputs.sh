#!/usr/bin/env bash
# scripts/compare-outputs.sh OLD_CLI NEW_CLI [GEN_IMAGE]: runs two builds of cartscope-cli over
# the bundled sample, a DSi variant of it, a generated 3,000-file tree (when bench/gen_image is
# given) and every input of the load, fnt, narc and dsi fuzz corpora, and reports any difference
# in what info (text, --json, --hashes, --hashes --json), list, list --json, list --system (text
# and JSON) and extract --system print, exit with or write; then in what verify prints (text,
# --json, --csv) over those images against a DAT made here from the sample's hashes: a match, a
# match with a serial that does not name the game code, a trimmed dump matched padded, and
# entries that agree on some digests but not all. A refactoring that must not change outputs is
# checked with it.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
OLD=$(realpath "$1")
NEW=$(realpath "$2")
GEN=${3:-}
W=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-compare.XXXXXX")
trap 'rm -rf "$W"' EXIT
S=$PWD/samples/sample.nds
# The sample with the DSi bits in its unit code and bytes in the DSi fields (region, title ID,
# TWL flags, ARM9i/ARM7i, modcrypt, sizes, age ratings, signatures), so every DSi row shows.
cp "$S" "$W/dsi.nds"
poke() { printf "$2" | dd of="$W/dsi.nds" bs=1 seek=$(($1)) conv=notrunc status=none; }
poke 0x012 '\x03'
poke 0x1B0 '\x05\x00\x00\x80\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x47'
poke 0x1C0 '\x00\x40\x00\x00\x00\x10\x00\x00\x00\x80\x00\x00\x00\x10\x00\x00'
poke 0x1D0 '\x00\x02\x00\x00\x00\x00\x80\x02\x00\x20\x00\x00\x00\x03\x00\x00'
poke 0x1E0 '\x00\x02\x00\x00\x00\x00\x80\x03\x00\x10\x00\x00\x01\x00\x00\x00'
poke 0x210 '\x00\x90\x00\x00\x00\x00\x01\x00\x30\x53\x4E\x41\x04\x00\x03\x00'
poke 0x230 '\x44\x43\x42\x41\x03\x00\x03\x00\x00\x40\x00\x00\x00\x00\x00\x00'
poke 0x2F0 '\x8C\x00\x92\x07\x00\x00\x00\x00\x8F\x00\x00\x00\x00\x00\x00\x00'
poke 0x300 '\x11\x22\x33\x44'
poke 0xF80 '\x01\x02'
imgs=("$S" "$W/dsi.nds")
if [ -n "$GEN" ]; then
  "$GEN" tree "$W/tree.nds" 3000 40 16 1000 >/dev/null && imgs+=("$W/tree.nds")
fi
for f in fuzz/corpus/load/* fuzz/corpus/fnt/* fuzz/corpus/narc/* fuzz/corpus/dsi/*; do
  imgs+=("$PWD/$f")
done
fail=0
n=0
for img in "${imgs[@]}"; do
  for cmd in "info" "info --json" "info --hashes" "info --hashes --json" "list" "list --json" \
    "list --system --json" "list --system"; do
    # shellcheck disable=SC2086 # the command words split on purpose
    a=$(cd "$W" && XDG_CACHE_HOME=$W/c1 "$OLD" $cmd "$img" 2>&1; echo "rc=$?")
    # shellcheck disable=SC2086
    b=$(cd "$W" && XDG_CACHE_HOME=$W/c2 "$NEW" $cmd "$img" 2>&1; echo "rc=$?")
    n=$((n + 1))
    if [ "$a" != "$b" ]; then
      echo "differs: $cmd $img"
      diff <(echo "$a") <(echo "$b") | head -5
      fail=$((fail + 1))
    fi
  done
  rm -rf "$W/o1" "$W/o2"
  mkdir "$W/o1" "$W/o2"
  a=$(XDG_CACHE_HOME=$W/c1 "$OLD" extract --system "$img" "$W/o1" 2>&1 | sed "s#$W/o1##g"; echo "rc=$?")
  b=$(XDG_CACHE_HOME=$W/c2 "$NEW" extract --system "$img" "$W/o2" 2>&1 | sed "s#$W/o2##g"; echo "rc=$?")
  n=$((n + 1))
  if [ "$a" != "$b" ]; then
    echo "differs: extract messages $img"
    fail=$((fail + 1))
  fi
  diff -r "$W/o1" "$W/o2" >/dev/null || { echo "differs: extracted tree $img"; fail=$((fail + 1)); }
done

# verify: the DAT's entries are made from the sample's bytes. sample.nds is listed with a serial
# that does not name its game code; padme.nds (the sample, a trimmed dump, with a byte of its own)
# is listed padded with 0xFF to 64 KiB and with that serial; other.nds (the sample with its last
# byte changed) is listed with its size and CRC-32 but another SHA-1 (a collision or a bad
# entry), and short.nds (the sample cut by 0x40 bytes) with its hashes but another size;
# trimmed.nds (the sample cut short of its used size) is over-trimmed.
crc() { gzip -c "$1" | tail -c8 | head -c4 | od -An -tx1 | awk '{print $4 $3 $2 $1}'; }
sha1() { sha1sum "$1" | cut -c1-40; }
md5() { md5sum "$1" | cut -c1-32; }
size() { stat -c %s "$1"; }
rom() { # game file [serial] [sha1] [size]
  echo "<game name=\"$1\"><description>$1</description><rom name=\"$1.nds\" size=\"${5:-$(size "$2")}\" crc=\"$(crc "$2")\" md5=\"$(md5 "$2")\" sha1=\"${4:-$(sha1 "$2")}\"${3:+ serial=\"$3\"}/></game>"
}
V=$W/v
mkdir -p "$V"
cp "$S" "$V/sample.nds"
head -c 40000 "$S" >"$V/trimmed.nds"
cp "$S" "$V/other.nds"
printf '\x5A' | dd of="$V/other.nds" bs=1 seek=$(($(size "$S") - 1)) conv=notrunc status=none
head -c $(($(size "$S") - 64)) "$S" >"$V/short.nds"
cp "$S" "$V/padme.nds"
printf '\x5A' | dd of="$V/padme.nds" bs=1 seek=$(($(size "$S") - 2)) conv=notrunc status=none
cp "$V/padme.nds" "$W/padded"
head -c $((65536 - $(size "$S"))) /dev/zero | tr '\0' '\377' >>"$W/padded"
{
  echo '<?xml version="1.0"?><datafile><header><name>Compare DAT</name><version>1</version></header>'
  rom "Sample Game" "$V/sample.nds" "NTR-XXXX-USA, NTR-YYYY-EUR"
  rom "Trimmed Game" "$W/padded" "NTR-ZZZZ-JPN"
  rom "Other Game" "$V/other.nds" "" "0123456789abcdef0123456789abcdef01234567"
  rom "Short Game" "$V/short.nds" "" "" 12345
  echo '</datafile>'
} >"$W/compare.dat"
vimgs=("$V/sample.nds" "$V/padme.nds" "$V/trimmed.nds" "$V/other.nds" "$V/short.nds"
  "$V/missing.nds")
for img in "${imgs[@]}"; do vimgs+=("$img"); done
for fmt in "" "--json" "--csv"; do
  # shellcheck disable=SC2086 # an empty format is no word
  a=$(cd "$W" && XDG_DATA_HOME=$W/d1 "$OLD" verify --dat "$W/compare.dat" --jobs 1 $fmt "${vimgs[@]}" 2>&1; echo "rc=$?")
  # shellcheck disable=SC2086
  b=$(cd "$W" && XDG_DATA_HOME=$W/d2 "$NEW" verify --dat "$W/compare.dat" --jobs 1 $fmt "${vimgs[@]}" 2>&1; echo "rc=$?")
  n=$((n + 1))
  if [ "$a" != "$b" ]; then
    echo "differs: verify $fmt"
    diff <(echo "$a") <(echo "$b") | head -5
    fail=$((fail + 1))
  fi
done
echo "compared $n runs over ${#imgs[@]} images, $fail differences"
[ "$fail" -eq 0 ]
