#!/usr/bin/env bash
# One forwarding hop: two qor (console mode, each its own domain on its own
# loopback address, sharing the endpoint-mapper port and the name-service
# folder). HQ's preload file names SALES's address, so a request for SALES
# reaches HQ and is forwarded. At 8 and 64 connections, for SECONDS each
# (default 5), in one run: qor_mixload getobj of printer p0 made directly at
# SALES and the same lookup made at HQ for domain SALES, ROUNDS times
# (default 3), then the yardstick beside them (qorload getobj at SALES,
# qorload echo against the plain epoll echo server with as many bytes each
# way as the getobj reply carries).
#
#   bench/forward.sh [BUILD_DIR] [SECONDS] [ROUNDS]
#
# Besides calls per second and latency, each run reports cpu_us: the CPU time
# (user and system) of the client and of both services per call, which a
# machine shared with other work disturbs less than the rate.
#
# BUILD_DIR (default build-release) is configured as a Release build when it
# has no qor yet. The yardstick: bench/yardstick.sh ($QOR_YARDSTICK).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
secs=${2:-5}
rounds=${3:-3}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target qor qorctl qor_mixload >/dev/null
. "$root/bench/yardstick.sh"
yardstick_build "$build"
mix=$build/bench-tools/qor_mixload

sales=$(bench_address)
hq=$(bench_address)
work=$(mktemp -d)
mapper=$(bench_free_port "$hq")
mkdir -p "$work/rpcns"  # as the installation makes it
: >"$work/domains"
pids=() qors=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# start_qor NAME DOMAIN ADDRESS: a qor of its own domain; waits until it serves.
start_qor() {
  mkdir -p "$work/$1/data"
  cat >"$work/$1/qor.conf" <<CONF
LanGroup = sz:$2
ComputerName = sz:$1
QorDataDirectory = sz:$work/$1/data
RpcListenAddress = sz:$3
RpcEpmapperPort = dword:$mapper
RpcNsDirectory = sz:$work/rpcns
DomainDirectory = sz:$work/domains
CONF
  QOR_CONFIG=$work/$1/qor.conf QOR_EVENTLOG=file:$work/$1/events "$build/qor" -c 2>>"$work/$1/err" &
  pids+=($!)
  qors+=($!)
  for _ in $(seq 300); do
    grep -qs 0x40000001 "$work/$1/events" && return 0
    sleep 0.1
  done
  echo "qor $1 did not start:" >&2
  cat "$work/$1/err" >&2
  exit 1
}

# CPU seconds both services have used so far.
qor_cpu() {
  local p
  for p in "${qors[@]}"; do
    awk -v t="$(getconf CLK_TCK)" '{print ($14 + $15) / t}' "/proc/$p/stat"
  done | awk '{s += $1} END {print s}'
}

# load HOST [DOMAIN]: qor_mixload getobj of p0 at $conns connections for
# $secs seconds; its figures and cpu_us.
load() {
  local before out client after
  before=$(qor_cpu)
  out=$({ /usr/bin/time -f 'cpu %U %S' "$mix" get "$1" "$conns" "$secs" p0 "${@:2}"; } 2>&1) || true
  after=$(qor_cpu)
  client=$(sed -n 's/^cpu //p' <<<"$out")
  out=$(grep calls_per_s <<<"$out")
  awk -v out="$out" -v c="$client" -v q="$before $after" -v s="$secs" 'BEGIN {
    split(c, u, " "); split(q, v, " "); match(out, /calls_per_s=[0-9]+/)
    calls = substr(out, RSTART + 12, RLENGTH - 12) * s
    printf "%s cpu_us=%.0f\n", out, calls ? (u[1] + u[2] + v[2] - v[1]) * 1e6 / calls : 0 }'
}

start_qor sales SALES "$sales"
mkdir -p "$work/hq/data"
echo "SALES $sales" >"$work/hq/data/qorhosts"
start_qor hq HQ "$hq"
# The clients find both services through the shared endpoint-mapper port.
export QOR_CONFIG=$work/sales/qor.conf
"$build/qorctl" create spooler s0 --host bench --binding "ncacn_ip_tcp:127.0.0.1[7000]"
"$build/qorctl" create lp p0 --assoc spooler:s0
eval "$("$mix" probe "$sales" p0)"
echo_port=$(bench_free_port "$sales")
"$build/echosrv" "$sales" "$echo_port" &
pids+=($!)
sleep 0.2

# The machine is shared: each pair of runs is repeated ROUNDS times, direct
# and forwarded alternating, and the median of the rounds' ratios is reported.
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
for conns in 8 64; do
  echo "== $conns connections, ${secs}s each (getobj $request_bytes/$reply_bytes bytes)"
  rates=() cpus=()
  for _ in $(seq "$rounds"); do
    direct=$(load "$sales")
    forwarded=$(load "$hq" SALES)
    printf 'direct     %s\nforwarded  %s\n' "$direct" "$forwarded"
    rates+=("$(d=$(eval "$direct"; echo "$calls_per_s"); f=$(eval "$forwarded"; echo "$calls_per_s")
      awk -v d="$d" -v f="$f" 'BEGIN {printf "%.2f", d ? f / d : 0}')")
    cpus+=("$(d=$(eval "$direct"; echo "$cpu_us"); f=$(eval "$forwarded"; echo "$cpu_us")
      awk -v d="$d" -v f="$f" 'BEGIN {printf "%.2f", f ? d / f : 0}')")
  done
  yard_getobj=$("$build/qorload" "$sales" "$port" "$conns" "$secs" getobj 0 p0) || true
  yard_echo=$("$build/qorload" "$sales" "$echo_port" "$conns" "$secs" echo "$reply_bytes") || true
  printf 'qorload    %s\necho       %s\n' "$yard_getobj" "$yard_echo"
  echo "forwarded_to_direct_$conns=$(printf '%s\n' "${rates[@]}" | median) (rounds: ${rates[*]})"
  echo "cpu_direct_to_forwarded_$conns=$(printf '%s\n' "${cpus[@]}" | median) (rounds: ${cpus[*]})"
done
