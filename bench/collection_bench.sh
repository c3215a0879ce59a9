#!/usr/bin/env bash
# bench/collection_bench.sh [BUILD_DIR] [ROW...]: a collection's commands against the simplest
# fair reference, timed as bench/run.sh times (whole processes by bench/benchtime, A and B
# interleaved A B A B for PAIRS pairs (default 5) after one untimed warm-up of each, an untimed
# preparation before every run). Printed per row: the median of each side, the median of the
# per-pair ratios A/B with its range, for wall time and for CPU time (user + system, the steadier
# figure on a loaded machine), the goal, and the 1-minute load average before and after.
# Images (bench/gen_image, each made unique by a tag in its title) and every output lie on tmpfs
# (BENCH_WORK, default /dev/shm); the page cache is warm. Rows (default: all):
#   organise  `organise --copy --format raw --jobs GOAL_JOBS` (1) of COUNT (300) images of 1-8 MiB
#             vs `verify --jobs GOAL_JOBS` of the same folder       goal <= 1.15x
#             (one image at a time: its digests run on threads of their own, and the copy rides
#             the read beside them); shown beside it, the same at JOBS (images side by side, every
#             core busy with digests, so the copy's kernel time adds to the wall time) and
#             `verify --jobs JOBS` followed by `cp -r` of the folder (the floor of copying and
#             verifying) vs the same `verify`
#   move      `organise --move --format raw --jobs JOBS` of the same images, one file system (put
#             back by renames between runs) vs `verify --jobs JOBS` of them   goal <= 1.1x
#   torrentzip `organise --format torrentzip` of one TZ_MIB (64) MiB image
#             vs `gzip -9` of the same bytes into a file               goal <= 1.2x
#   sevenz    `verify` of a solid LZMA2 7z holding SEVENZ_COUNT (20) of the images
#             vs `bsdtar -xOf` of the same archive                     goal <= 1.2x
# JOBS defaults to the core count. Tmpfs holds the images twice while the organise rows run
# (about 2.7 GiB at COUNT 300). A smoke run: COUNT=8 TZ_MIB=4 SEVENZ_COUNT=4 PAIRS=1.
# Build first: cmake --preset release && cmake --build --preset release --target bench
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/release}
shift || true
ROWS=("$@")
[ ${#ROWS[@]} -eq 0 ] && ROWS=(organise move torrentzip sevenz)
PAIRS=${PAIRS:-5}
COUNT=${COUNT:-300}
JOBS=${JOBS:-$(nproc)}
GOAL_JOBS=${GOAL_JOBS:-1}
TZ_MIB=${TZ_MIB:-64}
SEVENZ_COUNT=${SEVENZ_COUNT:-20}

CLI=$BUILD/cli/cartscope-cli
B=$BUILD/bench
for tool in "$CLI" "$B/gen_image" "$B/benchtime"; do
  [ -x "$tool" ] || { echo "missing $tool: build the target 'bench' in $BUILD" >&2; exit 2; }
done
for cmd in bsdtar python3 gzip; do
  command -v "$cmd" >/dev/null || { echo "$cmd is needed" >&2; exit 2; }
done

WORK=$(mktemp -d "${BENCH_WORK:-/dev/shm}/cartscope-collection.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export XDG_DATA_HOME=$WORK/data XDG_CACHE_HOME=$WORK/cache # never the user's DATs or cache
OUT=$WORK/out
DAT_FOLDER=Collection # the DAT's name, hence the folder organise writes to

load1() { cut -d' ' -f1 /proc/loadavg; }

# pair LABEL AGAINST GOAL PREP -- A... -- B...   (as bench/run.sh's pair)
pair() {
  local label=$1 against=$2 goal=$3 prep=$4
  shift 4
  [ "$1" = "--" ] && shift
  local a=() b=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do a+=("$1"); shift; done
  shift
  b=("$@")
  local before ta=() tb=() ca=() cb=() i t
  before=$(load1)
  $prep; "$B/benchtime" "${a[@]}" >/dev/null
  $prep; "$B/benchtime" "${b[@]}" >/dev/null
  for ((i = 0; i < PAIRS; i++)); do
    $prep; t=$("$B/benchtime" "${a[@]}"); ta+=("${t%% *}"); ca+=("${t##* }")
    $prep; t=$("$B/benchtime" "${b[@]}"); tb+=("${t%% *}"); cb+=("${t##* }")
  done
  local wall cpu ma mb ratio range cma cmb cratio crange
  wall=$(ratios <(printf '%s\n' "${ta[@]}") <(printf '%s\n' "${tb[@]}"))
  cpu=$(ratios <(printf '%s\n' "${ca[@]}") <(printf '%s\n' "${cb[@]}"))
  read -r ma mb ratio range <<<"$wall"
  read -r cma cmb cratio crange <<<"$cpu"
  printf '| %-46s | %-34s | %8ss | %8ss | %5sx | %-11s | %8ss | %8ss | %5sx | %-11s | %-7s | %s -> %s |\n' \
    "$label" "$against" "$ma" "$mb" "$ratio" "$range" "$cma" "$cmb" "$cratio" "$crange" "$goal" "$before" "$(load1)"
}

# ratios FILE_A FILE_B: the medians of A and B, the median of the per-pair ratios A/B and their
# range.
ratios() {
  paste "$1" "$2" | awk '
    function median(v, n,   s, i, j, x) {
      for (i = 1; i <= n; i++) s[i] = v[i]
      for (i = 2; i <= n; i++) { x = s[i]; for (j = i - 1; j >= 1 && s[j] > x; j--) s[j + 1] = s[j]; s[j + 1] = x }
      return n % 2 ? s[(n + 1) / 2] : (s[n / 2] + s[n / 2 + 1]) / 2
    }
    { n++; a[n] = $1; b[n] = $2; r[n] = $1 / $2; if (n == 1 || r[n] < lo) lo = r[n]; if (n == 1 || r[n] > hi) hi = r[n] }
    END { printf "%.4f %.4f %.2f %.2f-%.2f", median(a, n), median(b, n), median(r, n), lo, hi }'
}

fresh_out() { rm -rf "$OUT"; mkdir -p "$OUT"; }
# The moved images go back by renames (their names are the DAT's rom names, the same as before).
put_back() {
  if [ -d "$OUT/$DAT_FOLDER" ]; then
    find "$OUT/$DAT_FOLDER" -maxdepth 1 -type f -exec mv -t "$WORK/moving" {} +
  fi
  fresh_out
}

# A DAT listing every file given, named as it is: name of the DAT first, then the files.
write_dat() { # out name files...
  python3 - "$@" <<'PY'
import hashlib, os, sys, zlib
out, name, files = sys.argv[1], sys.argv[2], sys.argv[3:]
with open(out, "w") as f:
    f.write('<?xml version="1.0"?>\n<datafile>\n\t<header><name>%s</name></header>\n' % name)
    for path in files:
        crc, md5, sha1, size = 0, hashlib.md5(), hashlib.sha1(), 0
        with open(path, "rb") as g:
            while chunk := g.read(1 << 20):
                crc = zlib.crc32(chunk, crc)
                md5.update(chunk)
                sha1.update(chunk)
                size += len(chunk)
        base = os.path.basename(path)
        f.write('\t<game name="%s">\n\t\t<description>%s</description>\n'
                '\t\t<rom name="%s" size="%d" crc="%08x" md5="%s" sha1="%s"/>\n\t</game>\n'
                % (base[:-4], base[:-4], base, size, crc, md5.hexdigest(), sha1.hexdigest()))
    f.write("</datafile>\n")
PY
}

image() { # out mib tag: a generated image whose title carries the tag, so no two are alike
  "$B/gen_image" one "$1" "$2"
  printf '%-12s' "$3" | dd of="$1" bs=1 seek=0 count=12 conv=notrunc status=none
}

need() {
  case $1 in
    folder)
      [ -d "$WORK/folder" ] && return
      mkdir -p "$WORK/folder"
      for ((i = 0; i < COUNT; i++)); do
        image "$WORK/folder/$(printf 'img%04d.nds' "$i")" $((1 + i % 8)) "T$i"
      done
      write_dat "$WORK/folder.dat" "$DAT_FOLDER" "$WORK"/folder/*.nds
      ;;
    moving)
      need folder
      [ -d "$WORK/moving" ] || cp -r "$WORK/folder" "$WORK/moving"
      ;;
    big)
      [ -f "$WORK/big/big.nds" ] && return
      mkdir -p "$WORK/big"
      image "$WORK/big/big.nds" "$TZ_MIB" BIG
      write_dat "$WORK/big.dat" Big "$WORK/big/big.nds"
      ;;
    sevenz)
      need folder
      [ -f "$WORK/solid.7z" ] && return
      # One solid block (libarchive's 7z writer puts every member in one), level 1 to make it
      # quickly.
      (cd "$WORK/folder" && ls | head -n "$SEVENZ_COUNT" |
        xargs bsdtar --format 7zip --options 7zip:compression=lzma2,7zip:compression-level=1 \
          -cf "$WORK/solid.7z")
      ;;
  esac
}

# Sanity, once per row before anything is timed: the command did the whole job.
expect() { # pattern command...
  local pattern=$1
  shift
  "$@" 2>&1 | tail -1 | grep -- "$pattern" >/dev/null || { echo "not as expected: $* (wanted \"$pattern\")" >&2; exit 1; }
}

echo "Cartscope collection benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(git rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) cores, JOBS=$JOBS, GOAL_JOBS=$GOAL_JOBS"
echo "uptime: $(uptime)"
echo
echo "| work (A) | against (B) | A wall | B wall | A/B wall | range | A CPU | B CPU | A/B CPU | range | goal | load 1-min |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
for row in "${ROWS[@]}"; do
  case $row in
    organise)
      need folder
      fresh_out
      expect " $COUNT placed," "$CLI" organise --dat "$WORK/folder.dat" --to "$OUT" --jobs "$JOBS" "$WORK/folder"
      diff -r -q "$WORK/folder" "$OUT/$DAT_FOLDER" >/dev/null || { echo "organise did not copy the folder" >&2; exit 1; }
      for jobs in "$GOAL_JOBS" "$JOBS"; do
        [ "$jobs" = "$GOAL_JOBS" ] && goal="<= 1.15x" || goal="shown"
        pair "organise --copy raw --jobs $jobs, $COUNT images 1-8 MiB" "verify --jobs $jobs, same files" "$goal" fresh_out \
          -- "$CLI" organise --copy --format raw --dat "$WORK/folder.dat" --to "$OUT" --jobs "$jobs" "$WORK/folder" \
          -- "$CLI" verify --dat "$WORK/folder.dat" --jobs "$jobs" "$WORK/folder"
        [ "$JOBS" = "$GOAL_JOBS" ] && break
      done
      # Shown, no goal: the physical floor of copy and verify, the same verify followed by a
      # plain cp of the files into the output folder.
      pair "verify --jobs $JOBS, then cp of the files" "verify --jobs $JOBS, same files" "shown" fresh_out \
        -- sh -c '"$0" verify --dat "$1" --jobs "$2" "$3" && exec cp -r "$3" "$4/copy"' \
        "$CLI" "$WORK/folder.dat" "$JOBS" "$WORK/folder" "$OUT" \
        -- "$CLI" verify --dat "$WORK/folder.dat" --jobs "$JOBS" "$WORK/folder"
      rm -rf "$OUT"
      ;;
    move)
      need moving
      put_back
      expect " $COUNT placed," "$CLI" organise --move --dat "$WORK/folder.dat" --to "$OUT" --jobs "$JOBS" "$WORK/moving"
      [ -z "$(ls "$WORK/moving")" ] || { echo "organise --move left files behind" >&2; exit 1; }
      put_back
      pair "organise --move raw --jobs $JOBS, $COUNT images, one fs" "verify --jobs $JOBS, same files" "<= 1.1x" put_back \
        -- "$CLI" organise --move --format raw --dat "$WORK/folder.dat" --to "$OUT" --jobs "$JOBS" "$WORK/moving" \
        -- "$CLI" verify --dat "$WORK/folder.dat" --jobs "$JOBS" "$WORK/moving"
      put_back
      ;;
    torrentzip)
      need big
      fresh_out
      expect " 1 placed," "$CLI" organise --format torrentzip --dat "$WORK/big.dat" --to "$OUT" "$WORK/big/big.nds"
      # grep reads everything, so the CLI never meets a closed pipe.
      "$CLI" verify --dat "$WORK/big.dat" "$OUT/Big/big.zip" | grep "(torrentzipped)" >/dev/null ||
        { echo "organise did not write a torrentzipped zip" >&2; exit 1; }
      pair "organise --format torrentzip, one $TZ_MIB MiB image" "gzip -9 of the same bytes to a file" "<= 1.2x" fresh_out \
        -- "$CLI" organise --format torrentzip --dat "$WORK/big.dat" --to "$OUT" "$WORK/big/big.nds" \
        -- sh -c 'exec gzip -9 -c "$0" >"$1"' "$WORK/big/big.nds" "$OUT/big.gz"
      rm -rf "$OUT"
      ;;
    sevenz)
      need sevenz
      expect " $SEVENZ_COUNT verified," "$CLI" verify --dat "$WORK/folder.dat" "$WORK/solid.7z"
      pair "verify, solid 7z of $SEVENZ_COUNT images" "bsdtar -xOf of the archive" "<= 1.2x" true \
        -- "$CLI" verify --dat "$WORK/folder.dat" "$WORK/solid.7z" -- bsdtar -xOf "$WORK/solid.7z"
      ;;
    *) echo "unknown row $row" >&2; exit 2 ;;
  esac
done
echo
echo "uptime: $(uptime)"
