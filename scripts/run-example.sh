#!/usr/bin/env bash
# Sets up a fresh machine, builds the release build and screens the example
# requests with the example policy: the first thing to run after a checkout.
# The hostile examples are meant to be blocked, so the command's exit status
# 1 is the expected result here; only a failure of the command itself (status
# 2 or worse) fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)"

echo
echo "\$ ravelgard check -c examples/Ravelgard.ini examples/requests/*.http"
status=0
build/release/tools/ravelgard check -c examples/Ravelgard.ini examples/requests/*.http || status=$?
echo
case "$status" in
  0) echo "run-example: every example request passed (exit status 0)" ;;
  1) echo "run-example: the hostile example requests were blocked, as expected (exit status 1)" ;;
  *) echo "run-example: ravelgard failed (exit status $status)" >&2
     exit "$status" ;;
esac
