#!/usr/bin/env bash
# Tests mod_ravelgard in a real Apache httpd: installs apache2 (and what the
# test needs) when missing, builds the module and the command, runs the
# module's unit test, then starts httpd in the foreground on loopback ports
# with a configuration of its own and drives it (tests/apache/apache_test.py).
# The same again with the module built under the address and undefined-
# behaviour sanitizers, their runtime preloaded into httpd. httpd is stopped
# at the end, whatever happens.
#
#   bash tests/apache/run.sh            (build directories: build/apache, build/apache-asan)
#   RG_APACHE_BUILD=DIR RG_APACHE_SANITIZE=0 bash tests/apache/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."

need=()
for pkg in apache2 apache2-dev openssl curl python3 cmake g++ libgtest-dev pkg-config; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "apache tests: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi

build=${RG_APACHE_BUILD:-build/apache}
jobs=${RG_JOBS:-2}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRG_WERROR=ON -DRG_BUILD_APACHE=ON \
  -DRG_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target mod_ravelgard ravelgard apache_head_test
"$build/apache/apache_head_test" --gtest_brief=1

work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
  # The driver stops httpd itself; this is for a driver that was killed.
  if [ -s "$work/httpd.pid" ]; then
    pid=$(cat "$work/httpd.pid")
    if [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = "apache2" ]; then
      kill "$pid" 2>/dev/null || true
    fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== mod_ravelgard in Apache httpd"
python3 tests/apache/apache_test.py --module "$build/apache/mod_ravelgard.so" \
  --tool "$build/tools/ravelgard" --pid-file "$work/httpd.pid"

if [ "${RG_APACHE_SANITIZE:-1}" != 0 ]; then
  echo "== the same, the module under the address and undefined-behaviour sanitizers"
  asan_build=${RG_APACHE_ASAN_BUILD:-build/apache-asan}
  cmake -S . -B "$asan_build" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
    -DRG_SANITIZE=address,undefined -DRG_WERROR=ON -DRG_BUILD_APACHE=ON -DRG_BUILD_TESTS=OFF \
    -DRG_BUILD_BENCH=OFF >/dev/null
  cmake --build "$asan_build" -j "$jobs" --target mod_ravelgard
  # httpd itself is not instrumented: the runtimes come first, and leaks at
  # exit are the server's pools, not the module's.
  mkdir -m 777 "$work/sanitizer"
  RG_APACHE_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS="detect_leaks=0:log_path=$work/sanitizer/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:log_path=$work/sanitizer/ubsan" \
    python3 tests/apache/apache_test.py --module "$asan_build/apache/mod_ravelgard.so" \
      --tool "$build/tools/ravelgard" --pid-file "$work/httpd.pid"
  if [ -n "$(ls -A "$work/sanitizer")" ]; then
    echo "apache tests: the sanitizers reported errors:" >&2
    cat "$work/sanitizer"/* >&2
    exit 1
  fi
fi
