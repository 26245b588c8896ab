#!/usr/bin/env bash
# Throughput of the morv relay end to end, side by side with a minimal
# reference relay of the same shape, and of morv's client mode beside a
# minimal forwarder; then the server's resident memory after a million
# lines. Each server runs in a private mount namespace with its own /run.
#   bench/relay_bench.sh [BUILD_DIR]      (LINES=300000 REPEAT=3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
lines=${LINES:-300000}
repeat=${REPEAT:-3}
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

stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  [ -n "$scratch" ] && rm -rf "$scratch"
  server_pid= scratch=
}
trap stop_server EXIT

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

# measure SERVER CLIENTS FEEDER LINES: prints "rate lost..." of one run.
# Runs in a subshell, which has its own exit trap.
measure() {
  trap stop_server EXIT
  local feeder
  start_server "$1"
  if [ "$3" = morv ]; then feeder=("$morv"); else feeder=("$fwd"); fi
  local out
  out=$("$load" "$scratch/run/morv.sock" "$port" "$2" "$4" -- \
        nsenter -t "$server_pid" -m -- "${feeder[@]}")
  stop_server
  echo "$out" | sed 's/.*lines_per_s \([0-9]*\) lost\(.*\)/\1\2/'
}

# best SERVER CLIENTS FEEDER: the best rate of $repeat runs and the most
# bytes any client lost in any run.
best() {
  local rate=0 lost=0 r words w
  for _ in $(seq 1 "$repeat"); do
    r=$(measure "$1" "$2" "$3" "$lines")
    read -r -a words <<<"$r"
    [ "${words[0]}" -gt "$rate" ] && rate=${words[0]}
    for w in "${words[@]:1}"; do [ "$w" -gt "$lost" ] && lost=$w; done
  done
  echo "$rate $lost"
}

ratio() { python3 -c "print(f'{$1/$2:.2f}')"; }

echo "relay: lines of 100 bytes per second end to end ($lines lines, best of $repeat)"
printf '%-8s %10s %10s %6s %5s %11s %11s\n' clients morv reference ratio goal lost-morv lost-ref
for clients in 0 1 4; do
  read -r m_rate m_lost <<<"$(best morv "$clients" morv)"
  read -r r_rate r_lost <<<"$(best ref "$clients" morv)"
  printf '%-8s %10s %10s %6s %5s %11s %11s\n' "$clients" "$m_rate" "$r_rate" \
    "$(ratio "$m_rate" "$r_rate")" ">=0.8" "$m_lost" "$r_lost"
done

echo
echo "client mode: lines per second into the reference relay, no TCP client"
read -r c_rate _ <<<"$(best ref 0 morv)"
read -r f_rate _ <<<"$(best ref 0 fwd)"
printf '%-14s %10s\n' "morv client" "$c_rate" "forwarder" "$f_rate"
echo "ratio $(ratio "$c_rate" "$f_rate") (goal >= 0.8)"

# memory SERVER: "VmRSS RssAnon RssFile" in kB after a million lines with
# one client, default buffer.
memory() {
  trap stop_server EXIT
  start_server "$1"
  "$load" "$scratch/run/morv.sock" "$port" 1 1000000 -- \
    nsenter -t "$server_pid" -m -- "$morv" >/dev/null
  awk '/^(VmRSS|RssAnon|RssFile)/ {printf "%s ", $2}' "/proc/$server_pid/status"
  stop_server
}

echo
echo "memory after 1000000 lines, default buffer, one client (kB; RssFile is mostly the"
echo "C library's shared text, RssAnon the server's own heap, stack and data)"
printf '%-10s %7s %8s %8s\n' server VmRSS RssAnon RssFile
read -r rss anon file <<<"$(memory morv)"
printf '%-10s %7s %8s %8s   goal: VmRSS < 1536\n' morv "$rss" "$anon" "$file"
read -r rss anon file <<<"$(memory ref)"
printf '%-10s %7s %8s %8s\n' reference "$rss" "$anon" "$file"
