#!/usr/bin/env bash
# Installs what the build, the tests and the fuzzers need on a fresh Debian 12
# machine. Does nothing when everything is there already.
set -euo pipefail
need=()
for pkg in cmake g++ make libgtest-dev libbenchmark-dev clang libfuzzer-14-dev libclang-rt-14-dev \
           python3 util-linux node-llhttp libasio-dev; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
