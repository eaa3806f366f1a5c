#!/usr/bin/env bash
# Installs the peer engine, builds the side-by-side benchmark optimized and
# runs it. Extra arguments go to Google Benchmark (e.g.
# --benchmark_filter=typical). RG_PEER_CPU picks the core (default 0);
# PEER_BUILD_DIR the build directory (default build/peer).
set -euo pipefail
cd "$(dirname "$0")/../.."
bash bench/peer/setup.sh
build="${PEER_BUILD_DIR:-build/peer}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DRG_BUILD_TESTS=OFF -DRG_BUILD_BENCH=ON \
  >/dev/null
cmake --build "$build" --target peer_bench -j "$(nproc)"
if [ ! -x "$build/bench/peer/peer_bench" ]; then
  echo "peer: peer_bench was not built (is libmodsecurity-dev installed?)" >&2
  exit 1
fi
"$build/bench/peer/peer_bench" "$@"
