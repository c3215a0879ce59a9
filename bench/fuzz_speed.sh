#!/usr/bin/env bash
# Executions per second of one fuzz target, two builds compared: paired runs, interleaved
# A B A B, each from a fresh tmpfs copy of the checked-in corpus with the same seed for both
# builds of a pair, one process at a time (one core). Prints each pair, the median ratio B/A,
# its range and the load average.
#   bench/fuzz_speed.sh A_DIR B_DIR TARGET [RUNS] [PAIRS]
# A_DIR and B_DIR hold fuzz_TARGET (build/fuzz/fuzz of two checkouts, preset "fuzz");
# RUNS executions per run (default 50000), PAIRS at least 5 (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."

A=${1:?A_DIR}
B=${2:?B_DIR}
TARGET=${3:?TARGET (for example banner or load)}
RUNS=${4:-50000}
PAIRS=${5:-5}
name=${TARGET#fuzz_}
for dir in "$A" "$B"; do
    if [[ ! -x $dir/fuzz_$name ]]; then
        echo "missing $dir/fuzz_$name: build the fuzz preset there" >&2
        exit 2
    fi
done
if ((PAIRS < 5)); then
    echo "PAIRS must be at least 5" >&2
    exit 2
fi
maxlen=()
case "$name" in fnt | banner) maxlen=(-max_len=4096) ;; esac

work=$(mktemp -d /dev/shm/cartscope-fuzzspeed-XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT

# Executions per second of one run (wall time of the whole process, corpus loading included).
rate() {
    local bin=$1 seed=$2 start end
    rm -rf "$work/corpus" && mkdir -p "$work/corpus"
    cp "fuzz/corpus/$name/." -r "$work/corpus/"
    start=$(date +%s%N)
    "$bin" -runs="$RUNS" -seed="$seed" "${maxlen[@]}" -rss_limit_mb=2048 -timeout=10 \
        -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1 ||
        { tail -n 20 "$work/log" >&2; exit 1; }
    end=$(date +%s%N)
    awk "BEGIN{printf \"%.0f\", $RUNS * 1e9 / ($end - $start)}"
}

ratios=()
for ((i = 1; i <= PAIRS; i++)); do
    a=$(rate "$A/fuzz_$name" "$i")
    b=$(rate "$B/fuzz_$name" "$i")
    r=$(awk "BEGIN{printf \"%.2f\", $b / $a}")
    ratios+=("$r")
    echo "pair $i: A $a exec/s, B $b exec/s, B/A $r; $(uptime | sed 's/.*load/load/')"
done
sorted=$(printf '%s\n' "${ratios[@]}" | sort -n)
echo "fuzz_$name, $RUNS runs each: median B/A $(echo "$sorted" | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}')," \
    "range $(echo "$sorted" | head -n1)-$(echo "$sorted" | tail -n1); $(uptime | sed 's/.*load/load/')"
