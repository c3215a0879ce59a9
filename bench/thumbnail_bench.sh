#!/usr/bin/env bash
# The thumbnailer's time must not depend on the image size: it reads the header field and the
# banner, never the rest. Paired runs, interleaved, on a 40 KB image and on a 4 GiB sparse
# image with the same first 40 KB, against a process that only starts and exits (/bin/true).
#   bench/thumbnail_bench.sh [BUILD_DIR] [PAIRS]   (default build/release, 11 pairs; target
#                                                    cartscope-thumbnailer)
set -euo pipefail

BUILD_DIR=${1:-build/release}
PAIRS=${2:-11}
THUMB=$BUILD_DIR/thumbnailer/cartscope-thumbnailer
SAMPLE=$(dirname "$0")/../samples/sample.nds
SIZE=${SIZE:-256}

if [[ ! -x $THUMB ]]; then
    echo "missing $THUMB: build the cartscope-thumbnailer target in $BUILD_DIR" >&2
    exit 2
fi
if ((PAIRS < 5)); then
    echo "PAIRS must be at least 5" >&2
    exit 2
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-thumb-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# The bundled sample's first 40 KB (header, tables and banner at 0x8400) as the small image;
# the same bytes extended to 4 GiB with a hole as the large one.
head -c 40960 "$SAMPLE" >"$WORK/small.nds"
cp "$WORK/small.nds" "$WORK/big.nds"
truncate -s 4G "$WORK/big.nds"
echo "small: $(stat -c %s "$WORK/small.nds") bytes; big: $(stat -c %s "$WORK/big.nds") bytes" \
    "($(du -k "$WORK/big.nds" | cut -f1) KiB on disk)"

now_ns() { date +%s%N; }
# Wall time of one run in microseconds; a failing run stops the benchmark.
time_us() {
    local start end
    start=$(now_ns)
    "$@" >/dev/null
    end=$(now_ns)
    echo $(((end - start) / 1000))
}
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
                                               else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Warm the page cache and check both images thumbnail at all.
"$THUMB" -s "$SIZE" "$WORK/small.nds" "$WORK/small.png"
"$THUMB" -s "$SIZE" "$WORK/big.nds" "$WORK/big.png"
cmp -s "$WORK/small.png" "$WORK/big.png" || { echo "the two thumbnails differ" >&2; exit 1; }

: >"$WORK/small.t"
: >"$WORK/big.t"
: >"$WORK/true.t"
: >"$WORK/ratio.t"
for ((i = 0; i < PAIRS; i++)); do
    # The order inside a pair alternates, so neither side always runs on a warmer machine.
    if ((i % 2 == 0)); then
        s=$(time_us "$THUMB" -s "$SIZE" "$WORK/small.nds" "$WORK/out.png")
        b=$(time_us "$THUMB" -s "$SIZE" "$WORK/big.nds" "$WORK/out.png")
    else
        b=$(time_us "$THUMB" -s "$SIZE" "$WORK/big.nds" "$WORK/out.png")
        s=$(time_us "$THUMB" -s "$SIZE" "$WORK/small.nds" "$WORK/out.png")
    fi
    t=$(time_us /bin/true)
    echo "$s" >>"$WORK/small.t"
    echo "$b" >>"$WORK/big.t"
    echo "$t" >>"$WORK/true.t"
    awk -v b="$b" -v s="$s" 'BEGIN { printf "%.3f\n", b / s }' >>"$WORK/ratio.t"
done

small_med=$(median <"$WORK/small.t")
big_med=$(median <"$WORK/big.t")
true_med=$(median <"$WORK/true.t")
ratio_med=$(median <"$WORK/ratio.t")
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores; $PAIRS pairs; -s $SIZE"
printf '%-34s %8s us (median)\n' "thumbnail of 40 KB image" "$small_med"
printf '%-34s %8s us (median)\n' "thumbnail of 4 GiB sparse image" "$big_med"
printf '%-34s %8s us (median)\n' "/bin/true (process start only)" "$true_med"
echo "median of paired ratios big / small: $ratio_med (goal: at most 1.5)"
awk -v r="$ratio_med" 'BEGIN { exit !(r <= 1.5) }' || { echo "GOAL MISSED" >&2; exit 1; }
