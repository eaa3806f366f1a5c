#!/usr/bin/env bash
# Builds and runs every test: the optimized build (with g++ and with
# clang++), the whole suite again under the address and undefined-behaviour
# sanitizers, the concurrent tests under the thread sanitizer, the screening
# proxy in front of nginx and a recording backend (in all three builds), the
# Apache module in a real Apache, both Windows DLLs (x86-64 and 32-bit) under
# Wine against the POSIX module, the Debian packages installed and removed
# again, and each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

step "release build and tests (g++)"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DRG_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

# clang warns where g++ does not (and the other way round): the same
# Release build with every host and test must pass with it too.
step "release build and tests (clang++)"
CC=clang CXX=clang++ cmake -S . -B build/release-clang -DCMAKE_BUILD_TYPE=Release \
  -DRG_WERROR=ON >/dev/null
cmake --build build/release-clang -j "$jobs"
ctest --test-dir build/release-clang --output-on-failure -j "$jobs"

step "address + undefined-behaviour sanitizers"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DRG_SANITIZE=address,undefined -DRG_WERROR=ON \
  -DRG_BUILD_BENCH=OFF >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "thread sanitizer (concurrent tests)"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRG_SANITIZE=thread -DRG_WERROR=ON \
  -DRG_BUILD_BENCH=OFF >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -L concurrent

step "screening proxy against nginx and a recording backend (release, ASan, TSan builds)"
bash tests/proxy/run.sh build/release
bash tests/proxy/run.sh build/asan
bash tests/proxy/run.sh build/tsan

step "Apache httpd module against a real Apache"
bash tests/apache/run.sh

step "Windows DLLs under Wine"
bash tests/windows/run.sh

step "Debian packages: build, install, run, purge"
bash tests/packaging/run.sh

if [ -f fuzz/run.sh ]; then
  step "fuzzing"
  bash fuzz/run.sh
fi
echo
echo "all tests passed"
