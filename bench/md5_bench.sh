#!/bin/sh
# Throughput of `pk2update --md5` against the system's md5sum on the same
# 512 MiB file in /dev/shm, run alternately, best of three each.
# Usage: bench/md5_bench.sh [build-dir]   (default: build)
set -eu

build=${1:-build}
prog=$build/pk2update
[ -x "$prog" ] || { echo "no $prog: build it first" >&2; exit 1; }
command -v md5sum >/dev/null || { echo "md5sum not found" >&2; exit 1; }

size_mib=512
file=$(mktemp /dev/shm/md5_bench.XXXXXX)
trap 'rm -f "$file"' EXIT
trap 'exit 1' INT TERM
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$file"

# Runs "$@" once, leaves the first word of its output in $digest and the
# wall-clock seconds it took in $secs.
timed() {
    t0=$(date +%s%N)
    digest=$("$@" | cut -d' ' -f1)
    t1=$(date +%s%N)
    secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", (b - a) / 1e9 }')
}

# Prints the smaller of two numbers, the first one when it is empty.
least() {
    awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'
}

best_ours=
best_ref=
for run in 1 2 3; do
    timed "$prog" --md5 "$file"
    ours=$digest
    best_ours=$(least "$best_ours" "$secs")
    timed md5sum "$file"
    best_ref=$(least "$best_ref" "$secs")
    if [ "$ours" != "$digest" ] || [ ${#ours} -ne 32 ]; then
        echo "digests differ: pk2update '$ours', md5sum '$digest'" >&2
        exit 1
    fi
done

awk -v mib=$size_mib -v ours="$best_ours" -v ref="$best_ref" 'BEGIN {
    bytes = mib * 1024 * 1024
    printf "file       %d MiB in /dev/shm, best of 3 wall-clock runs each\n", mib
    printf "pk2update  %.3f s  %4.0f MB/s\n", ours, bytes / ours / 1e6
    printf "md5sum     %.3f s  %4.0f MB/s\n", ref, bytes / ref / 1e6
    printf "ratio      %.3f  (pk2update / md5sum throughput, target 1.05)\n", ref / ours
}'
