# Sourced by the scripts of bench/: the yardstick of ../shared/bench and a
# loopback address of our own.
#
#   yardstick_build BUILD_DIR  compiles qorload and echosrv into BUILD_DIR from
#                              $QOR_YARDSTICK (default ../shared/bench beside
#                              the checkout, or beside its worktree folder)
#   bench_address              prints 127.x.y.z picked at random, so that no
#                              other program holds its ports
#   bench_free_port ADDRESS    prints a TCP port that is free on ADDRESS now

yardstick_build() {
  local root yard
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  yard=${QOR_YARDSTICK:-$root/../shared/bench}
  [ -f "$yard/qorload.c" ] || yard=$root/../../shared/bench
  cc -O2 -pthread -o "$1/qorload" "$yard/qorload.c"
  cc -O2 -o "$1/echosrv" "$yard/echosrv.c"
}

bench_address() {
  echo 127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
}

bench_free_port() {
  /usr/bin/python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1])' "$1"
}
