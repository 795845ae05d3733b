#!/usr/bin/env bash
# ns_qor_if getdomain through the RPC runtime, side by side with the plain
# epoll echo server of the yardstick, at 1, 8 and 64 connections: calls per
# second, median and 99th-percentile latency (microseconds).
#
#   bench/rpc_load.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR (default build-release) is configured as a Release build when it
# has no test server yet. The yardstick: bench/yardstick.sh ($QOR_YARDSTICK).
# The echo exchanges as many
# bytes each way as the getdomain reply carries (52: 24 of response header,
# 28 of stub), the larger of the call's two PDUs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
secs=${2:-5}

if [ ! -x "$build/test-tools/rpc_test_server" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target rpc_test_server
fi
. "$root/bench/yardstick.sh"
yardstick_build "$build"
addr=$(bench_address)
work=$(mktemp -d)
printf 'RpcListenAddress = sz:%s\nRpcEpmapperPort = dword:0\n' "$addr" >"$work/qor.conf"
QOR_CONFIG=$work/qor.conf "$build/test-tools/rpc_test_server" >"$work/server.out" &
server=$!
"$build/echosrv" "$addr" 7007 &
echo=$!
trap 'kill $server $echo 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do grep -q '^ready' "$work/server.out" && break; sleep 0.1; done
port=$(sed -n 's/^port //p' "$work/server.out")

echo "conns  server       calls_per_s  p50_us  p99_us  errors"
for conns in 1 8 64; do
  for kind in echo rpc; do
    if [ $kind = echo ]; then
      out=$("$build/qorload" "$addr" 7007 "$conns" "$secs" echo 52)
    else
      out=$("$build/qorload" "$addr" "$port" "$conns" "$secs" getdomain)
    fi
    eval "$out"
    printf '%5s  %-11s %12s %7s %7s %7s\n' "$conns" "$kind" "$calls_per_s" "$p50_us" "$p99_us" \
      "$errors"
  done
done
