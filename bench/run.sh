#!/usr/bin/env bash
# bench/run.sh [BUILD_DIR] [ROW...]: times what users run against the simplest fair reference.
#
# Every figure is a whole process (fork to exit, bench/benchtime.c), A and B interleaved
# A B A B for PAIRS pairs (default 5) after one untimed warm-up of each; the output folder is
# emptied before every run (untimed). Printed per row: the median time of each side, the median
# of the per-pair ratios A/B with its range (min-max), the goal, and the 1-minute load average
# before and after the row. The page cache is warm; images, outputs and archive copies all lie
# on tmpfs (BENCH_WORK, default /dev/shm). Images are generated (bench/gen_image.cpp), never
# checked in. Rows (default: all):
#   list1g      `list` on a 1 GiB one-file image         vs `list` on a 40 KB image
#   tiny        `extract IMAGE DIR /tiny.txt` (1 GiB)     vs ref_copy of that one range
#   info1g      `info` on the 1 GiB image (file CRC-32)   vs dd of the same file
#   info512     `info` on a 512 MiB one-file image        vs the slower of dd bs=1M and ref_crc
#               (ISA-L's CRC-32 over the mapped file), the three interleaved A B C; the ratio
#               is A / max(B, C) per round
#   info65k     `info` on a 65,000-file image             vs dd of the same file
#   list65k     `list` on the 65,000-file image           vs ref_list (one read per table)
#   rss65k      peak RSS of `list --json` on it (/usr/bin/time -v), goal < 40 MiB
#   extract30k  `extract` of 30,000 files                 vs ref_copy --whole (cached folder
#               fds; each file written unnamed and linked once whole, as extraction does)
#   system30k   `extract --system` of the 30,000-file image, the layout written beside the tree
#               vs ref_copy --whole --read-back of the same rows (`list --system`): each file
#               copied as extraction writes it, then read once
#   build30k    `build` of the unchanged tree extract --system wrote for the 30,000-file image
#               vs ref_build (copy_file_range of each file to its offset, fills by pwrite); and,
#               shown, vs ref_build --stat (the same with one fstat a file)
#   ndstool30k  the same                                   vs ndstool -c of the same tree (the
#               standard packer laying it out afresh: -9 -7 -y9 -y7 -h from [system], -y the
#               overlays and -t the banner when there are any, -d a hard-linked copy of the data
#               tree without [system]); runs only with NDSTOOL=/path/to/ndstool or
#               NDSTOOL_SRC=/path/to/its/source (built into the work folder), else says skipped
#   rssbuild65k peak RSS of `build` of the unchanged tree extract --system wrote for the
#               65,000-file image (benchtime's wait4 figure, median and range of PAIRS runs),
#               goal < 64 MiB
#   copy30k     the same                                   vs ref_copy (plain open/copy/close:
#               what writing each file whole costs, shown, not a goal)
#   pty30k      the same with stderr on a pty             vs stderr on /dev/null (9 pairs)
#   order       the window's extraction in list, name and size order vs ref_copy --whole, same order
#   zipstored   `info x.zip`, stored 256 MiB member       vs bsdtar -xOf x.zip
#   zipdeflate  `info x.zip`, deflated member             vs bsdtar -xOf x.zip
#   zip64stored `info x.zip`, stored member with zip64 extra fields (bench/make_zip.py, as
#               Python's zipfile writes with force_zip64)      vs bsdtar -xOf x.zip
#   ddstored    `info x.zip`, stored member with a data descriptor (as a streaming writer
#               writes it)                                  vs bsdtar -xOf x.zip
#   preview65k  selecting a file of at most 1 MiB in the window's list of the 65,000-file image
#               until the preview window shows it, vs a pread of the same bytes
#               (bench/preview_bench.cpp: in-process timings, the window offscreen; goal < 50 ms)
#   compress    LZ10/LZ11 decode (MB/s of output) vs memcpy of that output, encode (MB/s of
#               input) vs the greedy reference parse, and the encoded size against the greedy
#               and optimal parses, and IMA-ADPCM decode (million samples/s, one core) vs memcpy
#               of its 16-bit output (bench/compress_bench.cpp: in-process timings, its own table)
#   render      a 256x192 screen (32x24 tiles, flips, per-tile palettes) drawn to RGBA, 4 and
#               8 bpp, vs a plain tile-through-palette loop, plus decode+render and PNG encoding
#               shown (bench/render_bench.cpp: in-process timings, its own table; goal < 5 ms)
#   trim512     `trim` of a 512 MiB image, 256 MiB used    vs ref_trim (copy_file_range of the
#               used bytes plus one read of the cut bytes: head -c USED and a read, in C)
#   pad512      `pad` of the 256 MiB trimmed image to 512 MiB vs ref_trim pad (the kernel copy,
#               then a C loop writing the fill)
#   rss7k       peak RSS of `report --jobs 2` with a generated 7,000-game DAT over 7,000 small
#               files (6,500 of them in it, 500 not; 500 games missing), goal < 100 MiB
#   replace512  `replace` of one file with 4 KiB of new bytes in the 512 MiB image vs
#               `cp --reflink=never` of the image
# Build first: cmake --preset release && cmake --build --preset release --target bench
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/release}
shift || true
ROWS=("$@")
[ ${#ROWS[@]} -eq 0 ] && ROWS=(list1g tiny info1g info512 info65k list65k rss65k extract30k system30k copy30k pty30k order zipstored zipdeflate zip64stored ddstored preview65k compress render build30k ndstool30k rssbuild65k trim512 pad512 replace512 rss7k)
PAIRS=${PAIRS:-5}
ONE_MIB=${ONE_MIB:-1024}
# The generated trees' file counts (smaller ones try the rows out quickly).
FILES30=${FILES30:-30000}
FILES65=${FILES65:-65000}

CLI=$BUILD/cli/cartscope-cli
B=$BUILD/bench
for tool in "$CLI" "$B/gen_image" "$B/ref_list" "$B/ref_copy" "$B/ref_crc" "$B/ref_build" "$B/benchtime" "$B/ptyrun" "$B/window_order" "$B/compress_bench" "$B/render_bench" "$B/ref_trim"; do
  [ -x "$tool" ] || { echo "missing $tool: build the target 'bench' in $BUILD" >&2; exit 2; }
done
command -v bsdtar >/dev/null || { echo "bsdtar is needed (libarchive-tools)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "python3 is needed (bench/make_zip.py)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (scripts/deps.sh installs it)" >&2; exit 2; }

WORK=$(mktemp -d "${BENCH_WORK:-/dev/shm}/cartscope-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export XDG_CACHE_HOME=$WORK/cache # archive copies go here, never to the user's cache
OUT=$WORK/out

load1() { cut -d' ' -f1 /proc/loadavg; }
fresh_out() { rm -rf "$OUT"; mkdir -p "$OUT"; }
no_prep() { :; }

# pair LABEL AGAINST GOAL PAIRS PREP -- A... -- B...
pair() {
  local label=$1 against=$2 goal=$3 n=$4 prep=$5
  shift 5
  [ "$1" = "--" ] && shift
  local a=() b=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do a+=("$1"); shift; done
  shift
  b=("$@")
  local before ta=() tb=() i t
  before=$(load1)
  $prep; "$B/benchtime" "${a[@]}" >/dev/null
  $prep; "$B/benchtime" "${b[@]}" >/dev/null
  for ((i = 0; i < n; i++)); do
    $prep; t=$("$B/benchtime" "${a[@]}"); ta+=("${t%% *}")
    $prep; t=$("$B/benchtime" "${b[@]}"); tb+=("${t%% *}")
  done
  local stats
  stats=$(paste <(printf '%s\n' "${ta[@]}") <(printf '%s\n' "${tb[@]}") | awk '
    function median(v, n,   s, i, j, x) {
      for (i = 1; i <= n; i++) s[i] = v[i]
      for (i = 2; i <= n; i++) { x = s[i]; for (j = i - 1; j >= 1 && s[j] > x; j--) s[j + 1] = s[j]; s[j + 1] = x }
      return n % 2 ? s[(n + 1) / 2] : (s[n / 2] + s[n / 2 + 1]) / 2
    }
    { n++; a[n] = $1; b[n] = $2; r[n] = $1 / $2; if (n == 1 || r[n] < lo) lo = r[n]; if (n == 1 || r[n] > hi) hi = r[n] }
    END { printf "%.4f %.4f %.2f %.2f-%.2f", median(a, n), median(b, n), median(r, n), lo, hi }')
  local ma mb ratio range
  read -r ma mb ratio range <<<"$stats"
  printf '| %-44s | %-34s | %8ss | %8ss | %5sx | %-11s | %-6s | %s -> %s |\n' \
    "$label" "$against" "$ma" "$mb" "$ratio" "$range" "$goal" "$before" "$(load1)"
}

# against_max LABEL AGAINST GOAL PAIRS -- A... -- B... -- C...: as pair, with A timed against
# the slower of B and C in each round (A B C interleaved).
against_max() {
  local label=$1 against=$2 goal=$3 n=$4
  shift 4
  [ "$1" = "--" ] && shift
  local a=() b=() c=()
  while [ "$1" != "--" ]; do a+=("$1"); shift; done
  shift
  while [ "$1" != "--" ]; do b+=("$1"); shift; done
  shift
  c=("$@")
  local before rows=() i t ta tb tc
  before=$(load1)
  "$B/benchtime" "${a[@]}" >/dev/null; "$B/benchtime" "${b[@]}" >/dev/null; "$B/benchtime" "${c[@]}" >/dev/null
  for ((i = 0; i < n; i++)); do
    t=$("$B/benchtime" "${a[@]}"); ta=${t%% *}
    t=$("$B/benchtime" "${b[@]}"); tb=${t%% *}
    t=$("$B/benchtime" "${c[@]}"); tc=${t%% *}
    rows+=("$ta $tb $tc")
  done
  local stats
  stats=$(printf '%s\n' "${rows[@]}" | awk '
    function median(v, n,   s, i, j, x) {
      for (i = 1; i <= n; i++) s[i] = v[i]
      for (i = 2; i <= n; i++) { x = s[i]; for (j = i - 1; j >= 1 && s[j] > x; j--) s[j + 1] = s[j]; s[j + 1] = x }
      return n % 2 ? s[(n + 1) / 2] : (s[n / 2] + s[n / 2 + 1]) / 2
    }
    { n++; a[n] = $1; b[n] = $2; c[n] = $3; m[n] = $2 > $3 ? $2 : $3; r[n] = $1 / m[n]
      if (n == 1 || r[n] < lo) lo = r[n]; if (n == 1 || r[n] > hi) hi = r[n] }
    END { printf "%.4f %.4f %.2f %.2f-%.2f %.4f %.4f", median(a, n), median(m, n), median(r, n), lo, hi, median(b, n), median(c, n) }')
  local ma mm ratio range mb mc
  read -r ma mm ratio range mb mc <<<"$stats"
  printf '| %-44s | %-34s | %8ss | %8ss | %5sx | %-11s | %-6s | %s -> %s |\n' \
    "$label" "$against (B ${mb}s, C ${mc}s)" "$ma" "$mm" "$ratio" "$range" "$goal" "$before" "$(load1)"
}

header() {
  echo "Cartscope benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(git rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) cores"
  echo "uptime: $(uptime)"
  echo
  echo "| work (A) | against (B) | A median | B median | A/B median | range | goal | load 1-min |"
  echo "|---|---|---|---|---|---|---|---|"
}

need() { # image name -> generated once
  case $1 in
    small) [ -f "$WORK/small.nds" ] || "$B/gen_image" tree "$WORK/small.nds" 3 1 100 2000 ;;
    one) [ -f "$WORK/one.nds" ] || "$B/gen_image" one "$WORK/one.nds" "$ONE_MIB" ;;
    half) [ -f "$WORK/half.nds" ] || "$B/gen_image" one "$WORK/half.nds" 512 ;;
    t65) [ -f "$WORK/t65.nds" ] || "$B/gen_image" tree "$WORK/t65.nds" "$FILES65" 200 16 1000 ;;
    t30) [ -f "$WORK/t30.nds" ] || "$B/gen_image" tree "$WORK/t30.nds" "$FILES30" 300 512 8192 ;;
    padded) # 256 MiB used, padded with 0xFF to 512 MiB; and the trimmed 256 MiB
      if [ ! -f "$WORK/padded.nds" ]; then
        "$B/gen_image" one "$WORK/raw.nds" 256
        # The generated header carries no CRC-16 yet; trim wants a DS image.
        "$CLI" fix "$WORK/raw.nds" "$WORK/used.nds" >/dev/null
        rm -f "$WORK/raw.nds"
        "$CLI" pad --size $((512 << 20)) "$WORK/used.nds" "$WORK/padded.nds" >/dev/null
        "$CLI" trim "$WORK/padded.nds" "$WORK/trimmed.nds" >/dev/null
        cmp -s "$WORK/used.nds" "$WORK/trimmed.nds" || { echo "trim did not give the used bytes back" >&2; exit 1; }
        rm -f "$WORK/used.nds"
      fi
      ;;
    r7k) # 7,000 small files and a 7,000-game DAT that knows 6,500 of them
      if [ ! -f "$WORK/r7k.dat" ]; then
        python3 - "$WORK" <<'PY'
import hashlib, os, random, sys, zlib
work = sys.argv[1]
folder = os.path.join(work, "r7k")
os.makedirs(folder)
rnd = random.Random(7000)
games = []
for i in range(7000):
    data = rnd.randbytes(4096 + rnd.randrange(4096))
    name = "Game %04d (Europe) (En,Fr,De)" % i
    if i < 6500:  # the last 500 files are in no DAT; the DAT's last 500 games are missing
        with open(os.path.join(folder, "%04d.nds" % i), "wb") as f:
            f.write(data)
    else:
        with open(os.path.join(folder, "%04d.nds" % i), "wb") as f:
            f.write(rnd.randbytes(4096))
    games.append((name, data))
with open(os.path.join(work, "r7k.dat"), "w") as f:
    f.write('<?xml version="1.0"?>\n<datafile>\n\t<header>\n\t\t<name>Nintendo - Nintendo DS '
            '(Decrypted)</name>\n\t\t<version>20260101</version>\n\t</header>\n')
    for name, data in games:
        f.write('\t<game name="%s">\n\t\t<description>%s</description>\n\t\t<rom name="%s.nds" '
                'size="%d" crc="%08x" md5="%s" sha1="%s" status="verified" serial="NTR-ABCE-EUR"/>'
                '\n\t</game>\n' % (name, name, name, len(data), zlib.crc32(data),
                                     hashlib.md5(data).hexdigest(), hashlib.sha1(data).hexdigest()))
    f.write("</datafile>\n")
PY
      fi
      ;;
    zips)
      if [ ! -f "$WORK/stored.zip" ]; then
        "$B/gen_image" one "$WORK/game.nds" 256
        bsdtar --format zip --options zip:compression=store -cf "$WORK/stored.zip" -C "$WORK" game.nds
        bsdtar --format zip --options zip:compression=deflate -cf "$WORK/deflated.zip" -C "$WORK" game.nds
        python3 bench/make_zip.py zip64 "$WORK/game.nds" "$WORK/zip64.zip"
        python3 bench/make_zip.py descriptor "$WORK/game.nds" "$WORK/descriptor.zip"
        rm -f "$WORK/game.nds"
      fi
      ;;
  esac
}

tree_of() { # image name -> the tree extract --system wrote for it, made once (untimed)
  if [ ! -d "$WORK/x-$2" ]; then
    mkdir -p "$WORK/x-$2"
    "$CLI" extract --system "$1" "$WORK/x-$2" >/dev/null 2>&1
  fi
  local layout
  layout=$(ls -d "$WORK/x-$2"/*.layout)
  echo "${layout%.layout}"
}

need_ndstool() { # sets NDSTOOL, building it from NDSTOOL_SRC once; false when neither is set
  if [ -z "${NDSTOOL:-}" ] && [ -n "${NDSTOOL_SRC:-}" ]; then
    bench/build_ndstool.sh "$NDSTOOL_SRC" "$WORK/ndstool"
    NDSTOOL=$WORK/ndstool
  fi
  [ -n "${NDSTOOL:-}" ] && [ -x "$NDSTOOL" ]
}

plan_of() { # image plan-file: the rows as `list` prints them (untimed)
  "$CLI" list "$1" >"$2"
}

header
for row in "${ROWS[@]}"; do
  case $row in
    list1g)
      need one; need small
      pair "list, ${ONE_MIB} MiB one-file image" "list, $(($(stat -c %s "$WORK/small.nds") / 1024)) KiB image" "<= 2x" "$PAIRS" no_prep \
        -- "$CLI" list "$WORK/one.nds" -- "$CLI" list "$WORK/small.nds"
      ;;
    tiny)
      need one
      grep '^/tiny.txt	' <("$CLI" list "$WORK/one.nds") >"$WORK/tiny.plan"
      pair "extract IMAGE DIR /tiny.txt (${ONE_MIB} MiB image)" "ref_copy of that one range" "<= 2x" "$PAIRS" fresh_out \
        -- "$CLI" extract "$WORK/one.nds" "$OUT" /tiny.txt -- "$B/ref_copy" "$WORK/one.nds" "$OUT" "$WORK/tiny.plan"
      ;;
    info1g)
      need one
      pair "info, ${ONE_MIB} MiB image (file CRC-32)" "dd bs=1M of the same file" "read limit" "$PAIRS" no_prep \
        -- "$CLI" info "$WORK/one.nds" -- dd if="$WORK/one.nds" of=/dev/null bs=1M
      ;;
    info512)
      need half
      crc=$("$CLI" info "$WORK/half.nds" | awk -F': ' '/^File CRC32/ { print $2 }')
      [ "$crc" = "$("$B/ref_crc" "$WORK/half.nds")" ] || { echo "ref_crc and info give different CRC-32s" >&2; exit 1; }
      against_max "info, 512 MiB image (file CRC-32)" "max(B dd bs=1M, C ref_crc)" "<= 1.1x" "$PAIRS" \
        -- "$CLI" info "$WORK/half.nds" -- dd if="$WORK/half.nds" of=/dev/null bs=1M -- "$B/ref_crc" "$WORK/half.nds"
      ;;
    info65k)
      need t65
      pair "info, 65,000-file image" "dd bs=1M of the same file" "<= 2.5x" "$PAIRS" no_prep \
        -- "$CLI" info "$WORK/t65.nds" -- dd if="$WORK/t65.nds" of=/dev/null bs=1M
      ;;
    list65k)
      need t65
      if ! cmp -s <("$CLI" list "$WORK/t65.nds") <("$B/ref_list" "$WORK/t65.nds"); then
        echo "ref_list and list print different rows" >&2
        exit 1
      fi
      pair "list, 65,000-file image" "ref_list (FNT, FAT read once)" "<= 1.2x" "$PAIRS" no_prep \
        -- "$CLI" list "$WORK/t65.nds" -- "$B/ref_list" "$WORK/t65.nds"
      ;;
    rss65k)
      need t65
      rss=$( { /usr/bin/time -v "$CLI" list --json "$WORK/t65.nds" >/dev/null; } 2>&1 | awk -F': ' '/Maximum resident set size/ { print $2 }')
      printf '| %-44s | %-34s | %9s | %9s | %6s | %-11s | %-6s | %s |\n' \
        "peak RSS of list --json, 65,000 files" "(/usr/bin/time -v)" "$((rss / 1024)) MiB" "" "" "" "< 40 MiB" "$(load1)"
      ;;
    rss7k)
      need r7k
      # The report must hold what was generated, or the figure measures nothing.
      held=$("$CLI" report --dat "$WORK/r7k.dat" --jobs 2 "$WORK/r7k" 2>/dev/null | grep -c '^  Held: 6500$' || true)
      [ "$held" = 1 ] || { echo "report did not find the 6,500 games held" >&2; exit 1; }
      /usr/bin/time -v -o "$WORK/r7k.time" "$CLI" report --dat "$WORK/r7k.dat" --jobs 2 "$WORK/r7k" >/dev/null 2>&1
      rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/r7k.time")
      printf '| %-44s | %-34s | %9s | %9s | %6s | %-11s | %-6s | %s |\n' \
        "peak RSS of report, 7,000 games, 7,000 files" "(/usr/bin/time -v)" "$((rss / 1024)) MiB" "" "" "" "< 100 MiB" "$(load1)"
      ;;
    extract30k)
      need t30
      plan_of "$WORK/t30.nds" "$WORK/t30.plan"
      fresh_out; "$CLI" extract "$WORK/t30.nds" "$OUT" >/dev/null 2>&1; mv "$OUT" "$WORK/check"
      fresh_out; "$B/ref_copy" "$WORK/t30.nds" "$OUT" "$WORK/t30.plan"
      diff -r -q "$WORK/check" "$OUT" >/dev/null || { echo "extract and ref_copy wrote different trees" >&2; exit 1; }
      rm -rf "$WORK/check"
      pair "extract, 30,000 files (tmpfs)" "ref_copy --whole, same rows" "<= 1.2x" "$PAIRS" fresh_out \
        -- "$CLI" extract "$WORK/t30.nds" "$OUT" -- "$B/ref_copy" "$WORK/t30.nds" "$OUT" "$WORK/t30.plan" --whole
      ;;
    system30k)
      need t30
      "$CLI" list --system "$WORK/t30.nds" >"$WORK/t30s.plan"
      fresh_out; "$CLI" extract --system "$WORK/t30.nds" "$OUT" >/dev/null 2>&1
      [ -f "$OUT/BENCH.layout/layout.json" ] || { echo "extract --system wrote no layout" >&2; exit 1; }
      rm -rf "$OUT/BENCH.layout"; mv "$OUT" "$WORK/check"
      fresh_out; "$B/ref_copy" "$WORK/t30.nds" "$OUT" "$WORK/t30s.plan"
      diff -r -q "$WORK/check" "$OUT" >/dev/null || { echo "extract --system and ref_copy wrote different trees" >&2; exit 1; }
      rm -rf "$WORK/check"
      pair "extract --system with the layout, $FILES30 files" "ref_copy --whole --read-back" "<= 1.2x" "$PAIRS" fresh_out \
        -- "$CLI" extract --system "$WORK/t30.nds" "$OUT" -- "$B/ref_copy" "$WORK/t30.nds" "$OUT" "$WORK/t30s.plan" --whole --read-back
      ;;
    build30k)
      need t30
      rm -rf "$WORK/x30"; mkdir -p "$WORK/x30"
      "$CLI" extract --system "$WORK/t30.nds" "$WORK/x30" >/dev/null 2>&1
      tree=$(ls -d "$WORK"/x30/*.layout); tree=${tree%.layout}
      rm_built() { rm -f "$WORK/built.nds"; }
      "$B/ref_build" "$tree" "$WORK/built.nds"; cmp "$WORK/t30.nds" "$WORK/built.nds" >/dev/null ||
        { echo "ref_build did not give the image back" >&2; exit 1; }
      pair "build, unchanged $FILES30-file tree (tmpfs)" "ref_build, same files" "<= 1.2x" "$PAIRS" rm_built \
        -- "$CLI" build "$tree" "$WORK/built.nds" -- "$B/ref_build" "$tree" "$WORK/built.nds"
      pair "the same" "ref_build --stat (one fstat a file)" "shown" "$PAIRS" rm_built \
        -- "$CLI" build "$tree" "$WORK/built.nds" -- "$B/ref_build" "$tree" "$WORK/built.nds" --stat
      /usr/bin/time -v "$CLI" build --force "$tree" "$WORK/built.nds" 2>"$WORK/time.txt" >/dev/null
      echo "peak RSS of build, $FILES30 files: $(awk '/Maximum resident/ { print int($6 / 1024) }' "$WORK/time.txt") MiB (load $(load1))"
      ;;
    ndstool30k)
      if ! need_ndstool; then
        echo "ndstool30k: skipped (set NDSTOOL to an ndstool program or NDSTOOL_SRC to its source)"
        continue
      fi
      need t30
      tree=$(tree_of "$WORK/t30.nds" t30)
      sys=$tree/[system]
      # ndstool takes the data tree apart from the system files: hard links, made once.
      if [ ! -d "$WORK/t30-data" ]; then
        mkdir "$WORK/t30-data"
        (cd "$tree" && find . -mindepth 1 -maxdepth 1 ! -name '[[]system[]]' -exec cp -al {} "$WORK/t30-data/" \;)
      fi
      set -- -c "$WORK/peer.nds" -9 "$sys/arm9.bin" -7 "$sys/arm7.bin" -h "$sys/header.bin" -d "$WORK/t30-data"
      [ -f "$sys/y9.bin" ] && set -- "$@" -y9 "$sys/y9.bin"
      [ -f "$sys/y7.bin" ] && set -- "$@" -y7 "$sys/y7.bin"
      [ -d "$sys/overlay" ] && set -- "$@" -y "$sys/overlay"
      [ -f "$sys/banner.bin" ] && set -- "$@" -t "$sys/banner.bin"
      rm_both() { rm -f "$WORK/built.nds" "$WORK/peer.nds"; }
      pair "build, unchanged $FILES30-file tree (tmpfs)" "ndstool -c, same tree" "<= 1.0x" "$PAIRS" rm_both \
        -- "$CLI" build "$tree" "$WORK/built.nds" -- "$NDSTOOL" "$@"
      echo "ndstool30k: ndstool $*"
      ;;
    rssbuild65k)
      need t65
      tree=$(tree_of "$WORK/t65.nds" t65)
      rm -f "$WORK/built.nds"
      "$CLI" build "$tree" "$WORK/built.nds" >/dev/null
      cmp -s "$WORK/t65.nds" "$WORK/built.nds" || { echo "build did not give the 65,000-file image back" >&2; exit 1; }
      rss=()
      for ((i = 0; i < PAIRS; i++)); do
        rm -f "$WORK/built.nds"
        # benchtime prints "SECONDS MAXRSS_KIB CPU_SECONDS".
        read -r _ kib _ < <("$B/benchtime" "$CLI" build "$tree" "$WORK/built.nds")
        rss+=("$kib")
      done
      stats=$(printf '%s\n' "${rss[@]}" | sort -n | awk '{ v[NR] = $1 } END { printf "%d %d-%d", v[int((NR + 1) / 2)] / 1024, v[1] / 1024, v[NR] / 1024 }')
      printf '| %-44s | %-34s | %9s | %9s | %6s | %-11s | %-6s | %s |\n' \
        "peak RSS of build, $FILES65 files" "(wait4, median of $PAIRS runs)" "${stats%% *} MiB" "" "" "${stats#* } MiB" "< 64 MiB" "$(load1)"
      ;;
    copy30k)
      need t30
      plan_of "$WORK/t30.nds" "$WORK/t30.plan"
      pair "extract, 30,000 files (tmpfs)" "ref_copy (plain copy), same rows" "shown" "$PAIRS" fresh_out \
        -- "$CLI" extract "$WORK/t30.nds" "$OUT" -- "$B/ref_copy" "$WORK/t30.nds" "$OUT" "$WORK/t30.plan"
      ;;
    pty30k)
      need t30
      pair "extract, 30,000 files, stderr on a pty" "stderr on /dev/null" "<= 1.1x" 9 fresh_out \
        -- "$B/ptyrun" pty "$CLI" extract "$WORK/t30.nds" "$OUT" -- "$B/ptyrun" null "$CLI" extract "$WORK/t30.nds" "$OUT"
      ;;
    order)
      need t30
      for order in list name size; do
        "$B/window_order" plan "$WORK/t30.nds" $order >"$WORK/$order.plan"
        pair "window extraction, 30,000 files, $order order" "ref_copy --whole, same order" "<= 1.2x" "$PAIRS" fresh_out \
          -- "$B/window_order" extract "$WORK/t30.nds" "$OUT" $order -- "$B/ref_copy" "$WORK/t30.nds" "$OUT" "$WORK/$order.plan" --whole
      done
      ;;
    trim512)
      need padded
      used=$(stat -c %s "$WORK/trimmed.nds")
      pair "trim, 512 MiB image, $((used >> 20)) MiB used" "ref_trim: copy_file_range + read of the cut" "<= 1.1x" "$PAIRS" fresh_out \
        -- "$CLI" trim "$WORK/padded.nds" "$OUT/t.nds" -- "$B/ref_trim" trim "$WORK/padded.nds" "$OUT/t.nds" "$used"
      ;;
    pad512)
      need padded
      pair "pad, 256 MiB image to 512 MiB with 0xFF" "ref_trim pad: copy_file_range + C fill loop" "<= 1.1x" "$PAIRS" fresh_out \
        -- "$CLI" pad --size $((512 << 20)) "$WORK/trimmed.nds" "$OUT/p.nds" -- "$B/ref_trim" pad "$WORK/trimmed.nds" "$OUT/p.nds" $((512 << 20)) 0xFF
      ;;
    replace512)
      need padded
      head -c 4096 /dev/urandom >"$WORK/new4k.bin"
      first=$("$CLI" list "$WORK/padded.nds" | head -1 | cut -f1)
      pair "replace one file with 4 KiB, 512 MiB image" "cp --reflink=never of the image" "<= 1.2x" "$PAIRS" fresh_out \
        -- "$CLI" replace --force "$WORK/padded.nds" "$OUT/r.nds" "$first" "$WORK/new4k.bin" -- cp --reflink=never "$WORK/padded.nds" "$OUT/r.nds"
      ;;
    zipstored)
      need zips
      pair "info x.zip, stored 256 MiB member" "bsdtar -xOf x.zip > /dev/null" "<= 1.4x" "$PAIRS" no_prep \
        -- "$CLI" info "$WORK/stored.zip" -- bsdtar -xOf "$WORK/stored.zip"
      ;;
    zipdeflate)
      need zips
      pair "info x.zip, deflated 256 MiB member" "bsdtar -xOf x.zip > /dev/null" "<= 1.15x" "$PAIRS" no_prep \
        -- "$CLI" info "$WORK/deflated.zip" -- bsdtar -xOf "$WORK/deflated.zip"
      ;;
    zip64stored)
      need zips
      pair "info x.zip, stored 256 MiB member, zip64 fields" "bsdtar -xOf x.zip > /dev/null" "<= 1.4x" "$PAIRS" no_prep \
        -- "$CLI" info "$WORK/zip64.zip" -- bsdtar -xOf "$WORK/zip64.zip"
      ;;
    ddstored)
      need zips
      pair "info x.zip, stored 256 MiB member, descriptor" "bsdtar -xOf x.zip > /dev/null" "<= 1.4x" "$PAIRS" no_prep \
        -- "$CLI" info "$WORK/descriptor.zip" -- bsdtar -xOf "$WORK/descriptor.zip"
      ;;
    preview65k)
      need t65
      if [ -x "$B/preview_bench" ]; then
        QT_QPA_PLATFORM=offscreen "$B/preview_bench" "$WORK/t65.nds" "$PAIRS"
      else
        echo "preview65k: $B/preview_bench not built (the window is off in this build)" >&2
      fi
      ;;
    compress)
      echo
      "$B/compress_bench" "$PAIRS"
      echo
      ;;
    render)
      echo
      "$B/render_bench" "$PAIRS"
      echo
      ;;
    *) echo "unknown row $row" >&2; exit 2 ;;
  esac
done
echo
echo "uptime: $(uptime)"
