#!/usr/bin/env bash
# Figures of the OPC UA gateway (see bench/README.md, "OPC UA gateway"). Builds nothing: takes the Release
# build folder (first argument, default build/release as `bash scripts/build` makes it) and ua/node_modules
# (`cd ua && npm ci`). Starts everything on free ports in a temporary folder and stops it again, also on failure.
#  1. the real chain: metersim, the demo configuration, OrvelaOPC --serve, the gateway: one device read
#     (maxAge 0) that fills the cache, then cached reads,
#     the gateway's memory with the demo tree;
#  2. the protocol fixture with a generated tree of 10,000 variables and the gateway: cached reads, memory.
# ORVELA_UA_BENCH_SECONDS sets how long the cached reads run (default 3).
set -euo pipefail
ua=$(cd "$(dirname "$0")/.." && pwd)
root=$(cd "$ua/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
seconds=${ORVELA_UA_BENCH_SECONDS:-3}
for program in sim/metersim tools/orvelactl src/app/OrvelaOPC; do
  [ -x "$build/$program" ] || { echo "ua bench: $build/$program missing (bash scripts/build)" >&2; exit 1; }
done
[ -d "$ua/node_modules/node-opcua" ] || { echo "ua bench: node-opcua missing (cd ua && npm ci)" >&2; exit 1; }

tmp=$(mktemp -d)
pids=()
# Children get SIGTERM, newest first, and 10 s to end; what is left then gets SIGKILL.
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for _ in $(seq 100); do
    alive=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

# Waits until FILE has a line matching PATTERN and prints the first match of it.
wait_for() {
  local file=$1 pattern=$2
  for _ in $(seq 200); do
    if grep -qo "$pattern" "$file" 2>/dev/null; then grep -o "$pattern" "$file" | head -1; return; fi
    sleep 0.1
  done
  echo "ua bench: no '$pattern' in $file:" >&2
  cat "$file" >&2
  exit 1
}

# Starts the gateway on a program folder (and socket) and prints its opc.tcp address.
start_gateway() {
  local log=$tmp/gateway-$1.log
  node "$ua/gateway.js" --dir "$2" --socket "$3" --listen 127.0.0.1:0 >"$log" 2>&1 &
  pids+=($!)
  gateway=$!
  wait_for "$log" "tree generation [0-9]*: [0-9]* nodes" >/dev/null
  url=$(wait_for "$log" "opc.tcp://[0-9.]*:[0-9]*")
}

# node-opcua warns about RSA PKCS#1 v1.5 at start; the gateway offers no policy that uses it.
bench() { node "$ua/bench/ua-bench.js" "$@" 2>&1 | { grep -v "NODE-OPCUA-W27\|security-revert" || true; }; return "${PIPESTATUS[0]}"; }

echo "== OPC UA gateway, demo configuration on metersim"
"$build/sim/metersim" --listen 127.0.0.1:0 --prompt-ms 250 --device tarvel2001:1:12345678 >"$tmp/sim.log" 2>&1 &
pids+=($!)
port=$(wait_for "$tmp/sim.log" "listening on [0-9.]*:[0-9]*")
port=${port##*:}
"$build/tools/orvelactl" config demo --dir "$tmp/demo" --port "$port" >/dev/null
"$build/src/app/OrvelaOPC" --dir "$tmp/demo" --serve >"$tmp/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$tmp/demo/orvela.sock" ] && break; sleep 0.1; done
start_gateway demo "$tmp/demo" "$tmp/demo/orvela.sock"
bench "$url" "$gateway" --seconds "$seconds" --device-reads 0 --label demo

echo "== OPC UA gateway, protocol fixture with 10,000 variables"
mkdir -p "$tmp/big"
node "$ua/bench/big-endpoint.js" "$tmp/big/orvela.sock" 2>"$tmp/big.log" &
pids+=($!)
wait_for "$tmp/big.log" "big endpoint on" >/dev/null
start_gateway big "$tmp/big" "$tmp/big/orvela.sock"
bench "$url" "$gateway" --seconds "$seconds" --device-reads 0 --label "10,000 variables"
