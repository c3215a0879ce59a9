#!/usr/bin/env bash
# Whole-tree extraction throughput, page cache warm, output on the same file system:
#   bench/extract_bench.sh [BUILD_DIR]      (default build/release; target extract_bench)
# Two generated images: ~3000 files of 4-64 KiB in 100 folders, and one 256 MiB file. For each,
# best of five interleaved wall times of: core::extractAll (table walk, plan and copy), `cp -r` of an
# already-extracted copy of the same tree, and a plain copy_file_range loop over the same byte
# ranges into the same paths. Goal: extractAll within 1.2x of the plain loop.
set -euo pipefail

BUILD_DIR=${1:-build/release}
FILES=${FILES:-3000}
DIRS=${DIRS:-100}
BIG_MIB=${BIG_MIB:-256}
RUNS=${RUNS:-5}
BENCH=$BUILD_DIR/bench/extract_bench

if [[ ! -x $BENCH ]]; then
    echo "missing $BENCH: build the extract_bench target in $BUILD_DIR" >&2
    exit 2
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-extract-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

now_ns() { date +%s%N; }
# Wall time in seconds of one run; the output folder is emptied and the disk synced (untimed)
# before it.
time_once() { # out_dir command...
    local out=$1
    shift
    rm -rf "$out"
    mkdir -p "$out"
    sync
    local start end
    start=$(now_ns)
    "$@" >/dev/null
    end=$(now_ns)
    awk -v t="$((end - start))" 'BEGIN { print t / 1e9 }'
}
min() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b < a) print b; else print a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", b / 1048576 / s }'; }

bench_image() { # label image
    local label=$1 image=$2
    cat "$image" >/dev/null # warm the page cache
    mkdir -p "$WORK/ref" "$WORK/check"
    "$BENCH" extract "$image" "$WORK/ref" >/dev/null
    local bytes files
    read -r _ files bytes _ < <("$BENCH" extract "$image" "$WORK/check")
    # The extracted files must hold the same bytes as the plain loop's.
    mkdir -p "$WORK/plaincheck"
    "$BENCH" plain "$image" "$WORK/plaincheck" >/dev/null
    if ! diff -r -q "$WORK/check" "$WORK/plaincheck" >/dev/null; then
        echo "MISMATCH between extractAll and the plain loop for $label" >&2
        exit 1
    fi
    rm -rf "$WORK/check" "$WORK/plaincheck"

    # The three methods take turns, so a slow phase of the machine hits all of them alike; the
    # best time of each counts.
    local extract_s= cp_s= plain_s=
    for ((run = 0; run < RUNS; run++)); do
        extract_s=$(min "$extract_s" "$(time_once "$WORK/out" "$BENCH" extract "$image" "$WORK/out")")
        cp_s=$(min "$cp_s" "$(time_once "$WORK/out" cp -r "$WORK/ref/BENCH" "$WORK/out/BENCH")")
        plain_s=$(min "$plain_s" "$(time_once "$WORK/out" "$BENCH" plain "$image" "$WORK/out")")
    done
    rm -rf "$WORK/out"
    rm -rf "$WORK/ref"

    echo "$label: $files files, $bytes bytes"
    printf '  %-26s %8s s  %6s MiB/s\n' "extractAll" "$extract_s" "$(rate "$bytes" "$extract_s")"
    printf '  %-26s %8s s  %6s MiB/s\n' "cp -r" "$cp_s" "$(rate "$bytes" "$cp_s")"
    printf '  %-26s %8s s  %6s MiB/s\n' "copy_file_range loop" "$plain_s" \
        "$(rate "$bytes" "$plain_s")"
    echo "  ratios: extractAll / plain loop $(ratio "$extract_s" "$plain_s")," \
        "extractAll / cp -r $(ratio "$extract_s" "$cp_s")"
}

echo "generating images in $WORK ..."
"$BENCH" tree "$WORK/tree.nds" "$FILES" "$DIRS"
"$BENCH" big "$WORK/big.nds" "$BIG_MIB"
bench_image "tree (${FILES} files in ${DIRS} folders)" "$WORK/tree.nds"
bench_image "one ${BIG_MIB} MiB file" "$WORK/big.nds"
