#!/usr/bin/env bash
# Installs what the Windows build and its tests need on a fresh Debian 12
# machine: the mingw-w64 cross compilers, Wine to run the results headless,
# and GoogleTest's sources to build the unit tests for Windows. Does nothing
# when everything is there already.
#
# Wine comes in two halves: wine64 runs the x86-64 programs, wine32 (an
# i386 package, so the machine must accept i386 packages) lets the same
# 64-bit prefix run the 32-bit ones. apt keeps the amd64 and i386 copies of
# a shared library at one version, so the first install may also upgrade a
# few amd64 libraries to the mirror's current ones (about 145 MB to fetch
# in all, half a minute to install).
set -euo pipefail
need=()
for pkg in mingw-w64 wine64 wine32:i386 googletest python3 binutils-mingw-w64-x86-64; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "windows setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  # apt and debconf talk on stderr even when asked to be quiet: keep what
  # they say for when a step fails.
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  quiet() { "$@" > "$log" 2>&1 || { cat "$log"; exit 1; }; }
  quiet $SUDO apt-get update -qq
  # Another installer may hold the package lock for a while on a shared
  # machine: wait for it rather than fail.
  quiet $SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${need[@]}"
fi
