#!/usr/bin/env bash
# Figures of pk2update against references measured in the same run:
#   verify a 256 MiB package      vs  pk2update --md5 on the same bytes   (goal: ratio >= 0.95)
#   install it (tmpfs, disk)      vs  pk2_copy_bench, a minimal loop      (goal: ratio <= 1.15)
#   peak memory, 1 MiB vs 1 GiB   verify and install                      (goal: within 64 KiB)
# Runs alternate and the best of 3 counts (for memory: the largest). Times
# are given as wall time and as processor time; on a busy machine the
# processor time is the steadier figure, on a disk the wall time is the
# one that counts.
#   bench/pk2_bench.sh [BUILD_DIR]      (default: build)
# RUNS, MIB (256) and LARGE_MIB (1024) change the sizes for a quick look.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
measure=$build/bench/pk2_measure_bench
copy=$build/bench/pk2_copy_bench
pk2update=$build/pk2update
pk2pack=$build/pk2pack
for program in "$measure" "$copy" "$pk2update" "$pk2pack"; do
  [ -x "$program" ] || { echo "pk2_bench: $program is missing; build it first" >&2; exit 1; }
done

shm=$(mktemp -d /dev/shm/pk2bench.XXXXXX)
disk=$(mktemp -d /var/tmp/pk2bench.XXXXXX)
trap 'rm -rf "$shm" "$disk"' EXIT
RUNS=${RUNS:-3}
MIB=${MIB:-256}
LARGE_MIB=${LARGE_MIB:-1024}
TARGET=target.bin   # relative: pk2update installs it into its working directory

# Runs a command in directory $1; prints "wall_seconds max_rss_kib
# cpu_seconds". A failed run ends the benchmark: its figures would mean
# nothing.
run_in() {
  local dir=$1 line seconds rss status cpu
  shift
  line=$(cd "$dir" && "$measure" "$@")
  read -r seconds rss status cpu <<<"$line"
  if [ "$status" != 0 ]; then
    echo "pk2_bench: '$*' exited with status $status" >&2
    exit 1
  fi
  echo "$seconds $rss $cpu"
}

# make_package FILE MIB: one FILE entry of MIB MiB of random bytes.
make_package() {
  head -c "$2M" /dev/urandom >"$shm/source"
  "$pk2pack" create -o "$1" -d 0x1234 -t 0x5F000001 -f "$shm/source:$TARGET" >/dev/null
  rm -f "$shm/source"
}

min() { sort -g | head -1; }
max() { sort -g | tail -1; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

# best FIELD: the smallest value of that field (1 wall, 3 processor time)
# over the lines of run_in on standard input.
best() { cut -d' ' -f"$1" | min; }

verify_speed() {
  local pkg=$1 mib=$2 verify="" md5=""
  for _ in $(seq $RUNS); do
    verify+="$(run_in "$shm" "$pk2update" "$pkg")"$'\n'
    md5+="$(run_in "$shm" "$pk2update" --md5 "$pkg")"$'\n'
  done
  local tv tm cv cm
  tv=$(best 1 <<<"${verify%$'\n'}"); cv=$(best 3 <<<"${verify%$'\n'}")
  tm=$(best 1 <<<"${md5%$'\n'}"); cm=$(best 3 <<<"${md5%$'\n'}")
  echo "verify $mib MiB:   pk2update PKG $tv s ($(calc %.0f "$mib / $tv") MiB/s, cpu $cv s)," \
       "pk2update --md5 PKG $tm s ($(calc %.0f "$mib / $tm") MiB/s, cpu $cm s)"
  echo "  throughput ratio verify/md5 = $(calc %.3f "$tm / $tv") wall," \
       "$(calc %.3f "$cm / $cv") cpu   (goal >= 0.95)"
}

install_speed() {
  local pkg=$1 mib=$2 dir=$3 label=$4 install="" ref=""
  for _ in $(seq $RUNS); do
    rm -f "$dir/$TARGET"
    install+="$(run_in "$dir" "$pk2update" -d 0x1234 "$pkg")"$'\n'
    rm -f "$dir/$TARGET"
    ref+="$(run_in "$dir" "$copy" "$pkg" "$TARGET")"$'\n'
  done
  rm -f "$dir/$TARGET"
  local ti tr ci cr
  ti=$(best 1 <<<"${install%$'\n'}"); ci=$(best 3 <<<"${install%$'\n'}")
  tr=$(best 1 <<<"${ref%$'\n'}"); cr=$(best 3 <<<"${ref%$'\n'}")
  echo "install $mib MiB to $label:   pk2update -d $ti s (cpu $ci s), minimal loop $tr s (cpu $cr s)"
  echo "  time ratio install/loop = $(calc %.3f "$ti / $tr") wall," \
       "$(calc %.3f "$ci / $cr") cpu   (goal <= 1.15)"
}

# peak_rss PKG ARGS...: the largest max RSS over the runs, in KiB.
peak_rss() {
  local pkg=$1 rss=()
  shift
  for _ in $(seq $RUNS); do
    rm -f "$shm/$TARGET"
    rss+=("$(run_in "$shm" "$pk2update" "$@" "$pkg" | cut -d' ' -f2)")
  done
  rm -f "$shm/$TARGET"
  printf '%s\n' "${rss[@]}" | max
}

memory() {
  local small=$shm/small.pk2 large=$shm/large.pk2
  make_package "$small" 1
  make_package "$large" "$LARGE_MIB"
  local mode vs vl
  for mode in verify install; do
    local args=()
    [ $mode = install ] && args=(-d 0x1234)
    vs=$(peak_rss "$small" "${args[@]}")
    vl=$(peak_rss "$large" "${args[@]}")
    echo "peak memory, $mode:   1 MiB package $vs KiB, $LARGE_MIB MiB package $vl KiB," \
         "difference $((vl - vs)) KiB   (goal: within 64 KiB)"
  done
  rm -f "$small" "$large"
}

echo "pk2update benchmarks ($build; best of $RUNS alternating runs)"
pkg=$shm/bench.pk2
make_package "$pkg" "$MIB"
verify_speed "$pkg" "$MIB"
install_speed "$pkg" "$MIB" "$shm" "tmpfs (/dev/shm)"
install_speed "$pkg" "$MIB" "$disk" "disk (/var/tmp)"
rm -f "$pkg"
memory
