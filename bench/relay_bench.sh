#!/usr/bin/env bash
# The morv relay under load, side by side with the reference relay, which
# takes one datagram per wake-up and sends it to each client on its own
# (relay_ref_bench). Runs alternate between the two (morv first in every
# other pair) and each figure is the median of PAIRS runs; every client's
# bytes are checked. Then morv's client mode beside a minimal forwarder,
# and the server's resident memory after a million lines. Each server runs
# in a private mount namespace with its own /run.
#   bench/relay_bench.sh [BUILD_DIR]
#   (LINES=200000 PACED=60000 LONE=2000 PAIRS=5 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
lines=${LINES:-200000}
paced=${PACED:-60000}
lone=${LONE:-2000}
pairs=${PAIRS:-5}
morv=$build/morv
ref=$build/bench/relay_ref_bench
fwd=$build/bench/relay_fwd_bench
load=$build/bench/relay_load_bench
for p in "$morv" "$ref" "$fwd" "$load"; do
  [ -x "$p" ] || { echo "relay_bench: $p is missing; build the bench targets first" >&2; exit 1; }
done
# The servers' binds hide the build folder of a checkout under /tmp or /run:
# inside a namespace the programs are reached through descriptors of ours.
exec {morv_fd}<"$morv" {ref_fd}<"$ref" {fwd_fd}<"$fwd"
morv=/proc/$$/fd/$morv_fd ref=/proc/$$/fd/$ref_fd fwd=/proc/$$/fd/$fwd_fd

scratch=
server_pid=
port=
results=$(mktemp)

stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  [ -n "$scratch" ] && rm -rf "$scratch"
  server_pid= scratch=
}
trap 'stop_server; rm -f "$results"' EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("",0)); print(s.getsockname()[1])'
}

# start_server morv|ref: a fresh server; sets server_pid, port, scratch.
start_server() {
  scratch=$(mktemp -d)
  mkdir "$scratch/run" "$scratch/tmp"
  port=$(free_port)
  local cmd
  if [ "$1" = morv ]; then cmd=("$morv" -s -p "$port"); else cmd=("$ref" "$port"); fi
  unshare -m sh -c 'mount --bind "$0" /run && mount --bind "$1" /tmp && shift && exec "$@"' \
    "$scratch/run" "$scratch/tmp" "${cmd[@]}" >"$scratch/out" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 2000); do
    grep -q "listen on port" "$scratch/out" 2>/dev/null && [ -S "$scratch/run/morv.sock" ] && return 0
    sleep 0.01
  done
  echo "relay_bench: $1 server did not start" >&2
  cat "$scratch/out" >&2
  exit 1
}

# measure TAG SERVER CLIENTS LINES RATE [FEEDER]: one run; appends
# "TAG SERVER figures..." to the results. Runs in a subshell, which has its
# own exit trap.
measure() (
  trap stop_server EXIT
  local tag=$1 server=$2 clients=$3 n=$4 rate=$5 feeder=${6:-}
  start_server "$server"
  local args=("$scratch/run/morv.sock" "$port" "$clients" "$n" "$rate" "$server_pid")
  if [ "$feeder" = morv ]; then args+=(-- nsenter -t "$server_pid" -m -- "$morv"); fi
  if [ "$feeder" = fwd ]; then args+=(-- nsenter -t "$server_pid" -m -- "$fwd"); fi
  echo "$tag $server $("$load" "${args[@]}")" >>"$results"
)

# pairs TAG CLIENTS LINES RATE [FEEDER]: $pairs runs of each server, in
# alternating order.
run_pairs() {
  for i in $(seq 1 "$pairs"); do
    if [ $((i % 2)) = 1 ]; then order="morv ref"; else order="ref morv"; fi
    for s in $order; do measure "$1" "$s" "$2" "$3" "$4" "${5:-}"; done
  done
}

# report TAG FIGURE GOAL...: medians of morv and the reference, the ratio
# and the goal; the bytes lost are the total over all runs and clients.
report() {
  python3 - "$results" "$@" <<'EOF'
import statistics, sys
path, tag, figure, goal = sys.argv[1:5]
runs = {"morv": [], "ref": []}
for line in open(path):
    w = line.split()
    if w[0] == tag:
        d = dict(zip(w[2::2], w[3::2]))
        d["lost"] = sum(int(x) for x in w[w.index("lost") + 1:])
        runs[w[1]].append(d)
med = {s: statistics.median(float(d[figure]) for d in r) for s, r in runs.items()}
lost = {s: sum(d["lost"] for d in r) for s, r in runs.items()}
ratio = med["morv"] / med["ref"] if med["ref"] else float("nan")
print(f"{tag:<14} {figure:<17} {med['morv']:>10.3f} {med['ref']:>10.3f} {ratio:>6.2f} "
      f"{goal:>7} {lost['morv']:>9} {lost['ref']:>8}")
EOF
}

header() {
  printf '%-14s %-17s %10s %10s %6s %7s %9s %8s\n' run figure morv reference ratio goal \
    lost-morv lost-ref
}

echo "relay: lines of 100 bytes; medians of $pairs alternating pairs, bytes checked"
echo "(the machine is shared: figures are noisy, read the ratios)"
echo
for _ in 1 2 3; do "$load" sink "$lines"; done | python3 -c '
import statistics, sys
r = [float(l.split()[6]) for l in sys.stdin]
print(f"load generator into a null sink: {statistics.median(r):.0f} lines/s (median of 3)")'
echo

for clients in 0 1 4; do run_pairs "sat$clients" "$clients" "$lines" 0; done
run_pairs paced20k 1 "$paced" 20000
run_pairs lone1k 1 "$lone" 1000
header
report sat0 lines_per_s ">=1.5"
report sat1 lines_per_s ">=2.5"
report sat4 lines_per_s ">=4"
report sat1 cpu_ms_per_mline "<=0.5"
report sat4 cpu_ms_per_mline "<=0.25"
report paced20k cpu_ms_per_mline "<=1.05"
report paced20k late10 "<=ref"
report lone1k delay_p50_ms "<=1.2"

echo
echo "client mode: lines per second into the reference relay, no TCP client"
: >"$results"
for i in $(seq 1 "$pairs"); do
  measure morv ref 0 "$lines" 0 morv
  measure fwd ref 0 "$lines" 0 fwd
done
python3 - "$results" <<'EOF'
import statistics, sys
r = {"morv": [], "fwd": []}
for line in open(sys.argv[1]):
    w = line.split()
    r[w[0]].append(float(w[w.index("lines_per_s") + 1]))
m, f = statistics.median(r["morv"]), statistics.median(r["fwd"])
print(f"morv client {m:10.0f}\nforwarder   {f:10.0f}\nratio {m / f:.2f} (goal >= 0.8)")
EOF

# memory SERVER: "VmRSS RssAnon RssFile" in kB after a million lines with
# one client, default buffer.
memory() (
  trap stop_server EXIT
  start_server "$1"
  "$load" "$scratch/run/morv.sock" "$port" 1 1000000 0 0 >/dev/null
  awk '/^(VmRSS|RssAnon|RssFile)/ {printf "%s ", $2}' "/proc/$server_pid/status"
)

echo
echo "memory after 1000000 lines, default buffer, one client (kB; RssFile is mostly the"
echo "C library's shared text, RssAnon the server's own heap, stack and data)"
printf '%-10s %7s %8s %8s\n' server VmRSS RssAnon RssFile
read -r rss anon file <<<"$(memory morv)"
printf '%-10s %7s %8s %8s   goal: VmRSS < 1536\n' morv "$rss" "$anon" "$file"
read -r rss anon file <<<"$(memory ref)"
printf '%-10s %7s %8s %8s\n' reference "$rss" "$anon" "$file"
