#!/usr/bin/env bash
# Installs the peer engine for the side-by-side benchmark: libmodsecurity 3
# (headers and pkg-config file) and the OWASP Core Rule Set, both from
# Debian. Does nothing when they are there already. CI does not run this.
set -euo pipefail
need=()
for pkg in libmodsecurity-dev modsecurity-crs pkg-config libbenchmark-dev cmake g++; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "peer setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
