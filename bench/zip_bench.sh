#!/usr/bin/env bash
# Taking an image out of a .zip, page cache warm:
#   bench/zip_bench.sh [BUILD_DIR]      (default build/release; target zip_bench, and
#                                        cartscope-cli when built)
# One generated image of IMAGE_MIB MiB (256 by default) of compressible data, zipped with
# deflate by bsdtar. Best of RUNS wall times of: `bsdtar -xOf x.zip member > /dev/null`
# (decompression only), `bsdtar -xf` into a folder (decompression and the file write), the
# reader's extractFirstImage into the private temporary area (list, extract with CRC check,
# write, delete), and `cartscope-cli info x.zip` when the CLI takes archives (extraction plus
# the header, banner, table and CRC-32 work of the report). Goal: extractFirstImage within
# 1.3x of `bsdtar -xOf`.
set -euo pipefail

BUILD_DIR=${1:-build/release}
IMAGE_MIB=${IMAGE_MIB:-256}
RUNS=${RUNS:-5}
BENCH=$BUILD_DIR/bench/zip_bench
CLI=$BUILD_DIR/cli/cartscope-cli

if [[ ! -x $BENCH ]]; then
    echo "missing $BENCH: build the zip_bench target in $BUILD_DIR" >&2
    exit 2
fi
command -v bsdtar >/dev/null || { echo "bsdtar is needed (libarchive-tools)" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-zip-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
# The temporary copies go below the bench's own folder, never the user's cache.
export XDG_CACHE_HOME=$WORK/cache

# Best wall time and best CPU time (user + system) in seconds of RUNS runs, as "wall cpu". The
# CPU time is the steadier figure on a machine shared with other work.
time_best() { # command...
    local best_wall='' best_cpu='' TIMEFORMAT='%R %U %S'
    for ((run = 0; run < RUNS; run++)); do
        rm -rf "$WORK/out"
        mkdir -p "$WORK/out"
        sync
        local wall user sys
        read -r wall user sys < <({ time "$@" >/dev/null 2>&1; } 2>&1)
        best_wall=$(awk -v a="$best_wall" -v t="$wall" 'BEGIN { print (a == "" || t < a) ? t : a }')
        best_cpu=$(awk -v a="$best_cpu" -v t="$user" -v s="$sys" \
            'BEGIN { t += s; print (a == "" || t < a) ? t : a }')
    done
    rm -rf "$WORK/out"
    echo "$best_wall $best_cpu"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", b / 1048576 / s }'; }
bsdtar_to_null() { bsdtar -xOf "$WORK/x.zip" bench.nds >/dev/null; }
bsdtar_to_folder() { bsdtar -xf "$WORK/x.zip" -C "$WORK/out" bench.nds; }

echo "generating a ${IMAGE_MIB} MiB image and its zip in $WORK ..."
"$BENCH" image "$WORK/bench.nds" "$IMAGE_MIB"
(cd "$WORK" && bsdtar --format zip --options zip:compression=deflate -cf x.zip bench.nds)
bytes=$(stat -c %s "$WORK/bench.nds")
zipped=$(stat -c %s "$WORK/x.zip")
cat "$WORK/x.zip" >/dev/null # warm the page cache
if [[ $("$BENCH" check "$WORK/x.zip" "$WORK/bench.nds") != same ]]; then
    echo "MISMATCH: the extracted copy differs from the image" >&2
    exit 1
fi
rm -f "$WORK/bench.nds"

read -r null_s null_cpu < <(time_best bsdtar_to_null)
read -r folder_s folder_cpu < <(time_best bsdtar_to_folder)
read -r ours_s ours_cpu < <(time_best "$BENCH" extract "$WORK/x.zip")
leftover=$(find "$XDG_CACHE_HOME" -type f | wc -l)

line() { # label wall cpu
    printf '  %-26s %7s s wall %6s MiB/s  %7s s CPU\n' "$1" "$2" "$(rate "$bytes" "$2")" "$3"
}
echo "image $bytes bytes, zip $zipped bytes (deflate), best of $RUNS"
line "bsdtar -xOf > /dev/null" "$null_s" "$null_cpu"
line "bsdtar -xf into a folder" "$folder_s" "$folder_cpu"
line "extractFirstImage" "$ours_s" "$ours_cpu"
cli_s=
if [[ -x $CLI ]] && "$CLI" info "$WORK/x.zip" >/dev/null 2>&1; then
    read -r cli_s cli_cpu < <(time_best "$CLI" info "$WORK/x.zip")
    line "cartscope-cli info x.zip" "$cli_s" "$cli_cpu"
else
    echo "  cartscope-cli info x.zip: skipped (not built, or it does not take this archive)"
fi
echo "  extractFirstImage / bsdtar -xOf: wall $(ratio "$ours_s" "$null_s")," \
    "CPU $(ratio "$ours_cpu" "$null_cpu") (goal 1.3)"
echo "  extractFirstImage / bsdtar -xf:  wall $(ratio "$ours_s" "$folder_s")," \
    "CPU $(ratio "$ours_cpu" "$folder_cpu")"
if [[ -n $cli_s ]]; then
    echo "  cli info / bsdtar -xOf:          wall $(ratio "$cli_s" "$null_s")," \
        "CPU $(ratio "$cli_cpu" "$null_cpu")"
fi
echo "  files left in the temporary area: $leftover"
