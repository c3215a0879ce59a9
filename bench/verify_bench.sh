#!/usr/bin/env bash
# Dump verification against md5sum and xmllint, page cache warm, paired and interleaved:
#   bench/verify_bench.sh [BUILD_DIR]   (default build/release; targets cartscope-cli and
#                                        make_sample)
# Each row runs the reference and cartscope-cli PAIRS times (default 5), alternating which goes
# first, and reports the medians, the ratio of the medians and the peak RSS of our runs. The
# load average is printed before and after: on a busy machine the figures mean little.
#   1. verify one BIG_MIB (512) MiB image (CRC-32 + SHA-1)        vs md5sum      goal <= 0.6x
#   2. info --json --hashes on it (all four digests)               vs md5sum      goal <= 1.25x
#   3. verify --jobs 2 over FOLDER_COUNT (300) images of 1-8 MiB   vs md5sum, sequential
#                                                                                 goal <= 0.5x
#   4. verify --dat with a GAMES (7000) game DAT on a small image  vs xmllint --noout
#                                                                                 goal <= 2x
#   5. verify of a solid LZMA2 7z holding SEVENZ_COUNT (20) of the folder's images
#                                                                  vs bsdtar -xOf goal <= 1.2x
set -euo pipefail

BUILD_DIR=${1:-build/release}
PAIRS=${PAIRS:-5}
BIG_MIB=${BIG_MIB:-512}
FOLDER_COUNT=${FOLDER_COUNT:-300}
GAMES=${GAMES:-7000}
SEVENZ_COUNT=${SEVENZ_COUNT:-20}
CLI=$BUILD_DIR/cli/cartscope-cli
MAKE_SAMPLE=$BUILD_DIR/tools/make_sample

for tool in "$CLI" "$MAKE_SAMPLE"; do
    if [[ ! -x $tool ]]; then
        echo "missing $tool: build cartscope-cli and make_sample in $BUILD_DIR" >&2
        exit 2
    fi
done
for cmd in md5sum xmllint python3 bsdtar /usr/bin/time; do
    command -v "$cmd" >/dev/null || { echo "$cmd is needed (scripts/deps.sh)" >&2; exit 2; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-verify-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
# Never the user's DAT folder.
export XDG_DATA_HOME=$WORK/data

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
echo "generating images and DATs in $WORK ..."
"$MAKE_SAMPLE" "$WORK/head.nds" >/dev/null
head_size=$(stat -c %s "$WORK/head.nds")
# A real header followed by random filler up to the size in bytes.
make_image() { # out bytes
    { cat "$WORK/head.nds"; head -c $(($2 - head_size)) /dev/urandom; } >"$1"
}
make_image "$WORK/big.nds" $((BIG_MIB * 1048576))
mkdir "$WORK/folder"
RANDOM=42
for ((i = 0; i < FOLDER_COUNT; i++)); do
    make_image "$WORK/folder/$(printf 'img%03d.nds' "$i")" $(((1 + RANDOM % 8) * 1048576 - RANDOM))
done
cp "$WORK/head.nds" "$WORK/small.nds"
# One solid block (libarchive's 7z writer puts every member in one), level 1 to make it quickly.
(cd "$WORK/folder" && ls | head -n "$SEVENZ_COUNT" |
    xargs bsdtar --format 7zip --options 7zip:compression=lzma2,7zip:compression-level=1 \
        -cf "$WORK/solid.7z")

# DATs: one entry per image for rows 1 and 3 (so every image verifies), and GAMES games of
# random digests plus the small image for row 4, in No-Intro's layout.
python3 - "$WORK" "$GAMES" <<'PY'
import hashlib, os, random, sys, zlib
work, games = sys.argv[1], int(sys.argv[2])
def entry(name, path):
    h = {k: hashlib.new(k) for k in ("md5", "sha1", "sha256")}
    crc, size = 0, 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            crc = zlib.crc32(chunk, crc)
            size += len(chunk)
            for d in h.values():
                d.update(chunk)
    return (name, size, "%08x" % crc, h["md5"].hexdigest(), h["sha1"].hexdigest(),
            h["sha256"].hexdigest())
def write(out, entries):
    with open(out, "w") as f:
        f.write('<?xml version="1.0"?>\n<!DOCTYPE datafile PUBLIC "-//Logiqx//DTD ROM '
                'Management Datafile//EN" "http://www.logiqx.com/Dats/datafile.dtd">\n'
                '<datafile>\n\t<header>\n\t\t<name>Nintendo - Nintendo DS (Decrypted)</name>\n'
                '\t\t<version>20260101-000000</version>\n\t</header>\n')
        for i, (name, size, crc, md5, sha1, sha256) in enumerate(entries):
            f.write('\t<game name="%s" id="%04d">\n\t\t<description>%s</description>\n'
                    '\t\t<rom name="%s.nds" size="%d" crc="%s" md5="%s" sha1="%s" sha256="%s" '
                    'status="verified" serial="NTR-A%03dE-USA"/>\n\t</game>\n'
                    % (name, i, name, name, size, crc, md5, sha1, sha256, i % 1000))
        f.write("</datafile>\n")
write(os.path.join(work, "big.dat"), [entry("Big Game (USA)", os.path.join(work, "big.nds"))])
folder = os.path.join(work, "folder")
write(os.path.join(work, "folder.dat"),
      [entry("Game %s (Europe) (En,Fr,De,Es,It)" % n, os.path.join(folder, n))
       for n in sorted(os.listdir(folder))])
rng = random.Random(7)
rnd = lambda n: "%0*x" % (n, rng.getrandbits(4 * n))
fake = [("Random Game %05d (Europe) (En,Fr,De,Es,It) (Rev 1)" % i, 1 << rng.randint(23, 29),
         rnd(8), rnd(32), rnd(40), rnd(64)) for i in range(games - 1)]
write(os.path.join(work, "games.dat"),
      fake + [entry("Small Game (USA)", os.path.join(work, "small.nds"))])
PY
echo "DAT of $GAMES games: $(($(stat -c %s "$WORK/games.dat") / 1024)) KiB"

# Sanity, once: the verdicts and the hashes are right before anything is timed (grep reads
# everything, so the CLI never meets a closed pipe).
"$CLI" verify --dat "$WORK/big.dat" "$WORK/big.nds" | grep "^Verified " >/dev/null ||
    { echo "big image not verified" >&2; exit 1; }
md5=$(md5sum "$WORK/big.nds" | cut -d' ' -f1)
"$CLI" info --json --hashes "$WORK/big.nds" | grep "\"md5\": \"$md5\"" >/dev/null ||
    { echo "info --hashes MD5 differs from md5sum" >&2; exit 1; }
"$CLI" verify --dat "$WORK/folder.dat" --jobs 2 "$WORK/folder" 2>/dev/null | tail -1 |
    grep " $FOLDER_COUNT verified," >/dev/null || { echo "folder not verified" >&2; exit 1; }
"$CLI" verify --dat "$WORK/games.dat" "$WORK/small.nds" | grep "^Verified " >/dev/null ||
    { echo "small image not verified by the big DAT" >&2; exit 1; }
"$CLI" verify --dat "$WORK/folder.dat" "$WORK/solid.7z" 2>/dev/null | tail -1 |
    grep " $SEVENZ_COUNT verified," >/dev/null || { echo "7z members not verified" >&2; exit 1; }

# One run: wall milliseconds (from the clock), peak RSS in KiB and CPU seconds (user + system;
# on a shared machine the wall time mostly measures the other processes).
run_once() { # out_file cmd...
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f '%M %U %S' -o "$WORK/rss" bash -c "$2" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    read -r rss user sys <"$WORK/rss"
    echo "$(((end - start) / 1000000)) $rss $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" >>"$1"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Each runs in a fresh bash that execs the program, so time and RSS are the program's own.
ref_big() { exec md5sum "$WORK/big.nds"; }
ours_verify_big() { exec "$CLI" verify --dat "$WORK/big.dat" "$WORK/big.nds"; }
ours_info_big() { exec "$CLI" info --json --hashes "$WORK/big.nds"; }
ref_folder() { exec md5sum "$WORK"/folder/*.nds; }
ours_folder() { exec "$CLI" verify --dat "$WORK/folder.dat" --jobs 2 "$WORK/folder"; }
ref_dat() { exec xmllint --noout "$WORK/games.dat"; }
ours_dat() { exec "$CLI" verify --dat "$WORK/games.dat" "$WORK/small.nds"; }
ref_7z() { exec bsdtar -xOf "$WORK/solid.7z"; }
ours_7z() { exec "$CLI" verify --dat "$WORK/folder.dat" "$WORK/solid.7z"; }

# Warm the page cache with everything the runs read.
cat "$WORK/big.nds" "$WORK"/folder/*.nds "$WORK"/*.dat "$WORK/solid.7z" >/dev/null

rows=()
pair() { # label reference_label goal ref_fn ours_fn
    local label=$1 against=$2 goal=$3 ref=$4 ours=$5 i
    : >"$WORK/ref.t"
    : >"$WORK/ours.t"
    for ((i = 0; i < PAIRS; i++)); do
        if ((i % 2 == 0)); then
            run_once "$WORK/ref.t" "$ref"
            run_once "$WORK/ours.t" "$ours"
        else
            run_once "$WORK/ours.t" "$ours"
            run_once "$WORK/ref.t" "$ref"
        fi
    done
    local r o rss rc oc
    r=$(cut -d' ' -f1 "$WORK/ref.t" | median)
    o=$(cut -d' ' -f1 "$WORK/ours.t" | median)
    rc=$(cut -d' ' -f3 "$WORK/ref.t" | median)
    oc=$(cut -d' ' -f3 "$WORK/ours.t" | median)
    rss=$(cut -d' ' -f2 "$WORK/ours.t" | sort -n | tail -1)
    rows+=("$(printf '| %s | %s | %.3f | %.3f | %.2fx | %s | %.2f / %.2f | %.1f MiB |' \
        "$label" "$against" "$(awk -v v="$o" 'BEGIN { print v / 1000 }')" \
        "$(awk -v v="$r" 'BEGIN { print v / 1000 }')" \
        "$(awk -v a="$o" -v b="$r" 'BEGIN { print a / b }')" "$goal" "$oc" "$rc" \
        "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')")")
    echo "  done: $label (load $(cut -d' ' -f1 /proc/loadavg))"
}
export -f ref_big ours_verify_big ours_info_big ref_folder ours_folder ref_dat ours_dat ref_7z \
    ours_7z
export WORK CLI

echo "timing $PAIRS interleaved pairs per row ..."
pair "verify, one ${BIG_MIB} MiB image (CRC-32 + SHA-1)" "md5sum" "<= 0.6x" ref_big ours_verify_big
pair "info --json --hashes, same image (4 digests)" "md5sum" "<= 1.25x" ref_big ours_info_big
pair "verify --jobs 2, $FOLDER_COUNT images of 1-8 MiB" "md5sum, sequential" "<= 0.5x" \
    ref_folder ours_folder
pair "verify --dat, $GAMES-game DAT, one small image" "xmllint --noout" "<= 2x" ref_dat ours_dat
pair "verify, solid 7z of $SEVENZ_COUNT images" "bsdtar -xOf" "<= 1.2x" ref_7z ours_7z

echo
echo "| work | against | ours (median s) | reference (median s) | ratio | goal |" \
    "CPU s ours / reference (medians) | peak RSS (ours) |"
echo "|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
