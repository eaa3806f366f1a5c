#!/usr/bin/env bash
# Benchmark of `ravelgard serve` against nginx as a reverse proxy, on
# loopback with wrk and nginx serving a small static file as the backend.
# Prints a table of requests per second, CPU time per request and latency
# added over the backend, medians of three runs, for one and two threads.
#
# Usage: bench/proxy/run.sh [BUILD_DIR] [-- bench.py options, e.g. --seconds 5]
# BUILD_DIR defaults to build/release, configured and built when missing.
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$source/build/release}
[ $# -gt 0 ] && shift
[ "${1:-}" = "--" ] && shift

need=()
for tool in nginx:nginx wrk:wrk python3:python3; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || [ -x "/usr/sbin/${tool%%:*}" ] || need+=("${tool#*:}")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
export PATH="$PATH:/usr/sbin"

if [ ! -x "$build/tools/ravelgard" ]; then
  bash "$source/scripts/setup.sh"
  cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j 2 --target ravelgard
fi
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
python3 "$source/bench/proxy/bench.py" --ravelgard "$build/tools/ravelgard" \
  --ini "$source/examples/Ravelgard.ini" "$@"
