#!/usr/bin/env bash
# The whole service under load: one qor (console mode, its own loopback
# address, data directory on the disk), CONNS connections of qor_mixload for
# SECONDS (90% lookups, 10% registrations, every answer checked), then the
# yardstick side by side: qorload getobj of printer p0 through qor, and
# qorload echo against the plain epoll echo server with as many bytes each
# way as the getobj reply carries (the larger of the call's two PDUs). Then
# qor is stopped and started again, and the registry must hold exactly what
# the registrations were answered.
#
#   bench/qor_mix.sh [BUILD_DIR] [SECONDS] [CONNS] [ROUNDS]
#
# With ROUNDS (default 1) the mix runs that many times on fresh connections,
# one qor throughout, and qor's resident memory is shown after each round:
# what a long-running service holds as clients come and go.
#
# BUILD_DIR (default build-release) is configured as a Release build when it
# has no qor yet. The yardstick (bench/yardstick.sh, $QOR_YARDSTICK) runs for
# YARD_SECONDS (default 10).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
secs=${2:-30}
conns=${3:-64}
rounds=${4:-1}
yard_secs=${YARD_SECONDS:-10}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target qor qor_mixload >/dev/null
. "$root/bench/yardstick.sh"
yardstick_build "$build"
mix=$build/bench-tools/qor_mixload

addr=$(bench_address)
work=$(mktemp -d)
mkdir -p "$work/data" "$work/rpcns"
: >"$work/domains"
cat >"$work/qor.conf" <<CONF
LanGroup = sz:BENCH
ComputerName = sz:bench
QorDataDirectory = sz:$work/data
RpcListenAddress = sz:$addr
RpcEpmapperPort = dword:$(bench_free_port "$addr")
RpcNsDirectory = sz:$work/rpcns
DomainDirectory = sz:$work/domains
CONF
export QOR_CONFIG=$work/qor.conf QOR_EVENTLOG=file:$work/events
qor=
echo_pid=
cleanup() {
  [ -n "$qor" ] && kill "$qor" 2>/dev/null
  [ -n "$echo_pid" ] && kill "$echo_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

start_qor() {
  : >"$work/events"
  "$build/qor" -c 2>>"$work/qor.err" &
  qor=$!
  for _ in $(seq 300); do
    grep -q 0x40000001 "$work/events" && return 0
    kill -0 "$qor" 2>/dev/null || break
    sleep 0.1
  done
  echo "qor did not start:" >&2
  cat "$work/qor.err" >&2
  exit 1
}
stop_qor() {
  kill -TERM "$qor"
  wait "$qor" || true
  qor=
}

start_qor
echo "== mix: $conns connections, ${secs}s, 90% getobj / 10% createobj, qor $addr"
for round in $(seq "$rounds"); do
  mix_out=$("$mix" run "$addr" "$conns" "$secs" "$work/state") || mix_failed=1
  echo "$mix_out"
  if [ "$rounds" -gt 1 ]; then
    echo "round=$round qor_rss_kib=$(awk '/^VmRSS/ {print $2}' "/proc/$qor/status")"
  fi
done
rss_kib=$(awk '/^VmHWM/ {print $2}' "/proc/$qor/status")
echo "qor_peak_rss_kib=$rss_kib"

eval "$("$mix" probe "$addr" p0)"
echo_port=$(bench_free_port "$addr")
"$build/echosrv" "$addr" "$echo_port" &
echo_pid=$!
sleep 0.2
echo "== yardstick: $conns connections, ${yard_secs}s each (getobj $request_bytes/$reply_bytes bytes, echo $reply_bytes each way)"
getobj=$("$build/qorload" "$addr" "$port" "$conns" "$yard_secs" getobj 0 p0) || true
echo_out=$("$build/qorload" "$addr" "$echo_port" "$conns" "$yard_secs" echo "$reply_bytes") || true
printf 'getobj  %s\necho    %s\n' "$getobj" "$echo_out"
getobj_cps=$(eval "$getobj"; echo "$calls_per_s")
echo_cps=$(eval "$echo_out"; echo "$calls_per_s")
awk -v g="$getobj_cps" -v e="$echo_cps" 'BEGIN {printf "getobj_to_echo=%.2f\n", e ? g / e : 0}'

echo "== restart"
stop_qor
start_qor
"$mix" verify "$addr" "$work/state" || verify_failed=1
stop_qor
if [ -n "${mix_failed:-}${verify_failed:-}" ]; then
  echo "FAILED" >&2
  exit 1
fi
