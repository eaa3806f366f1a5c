#!/usr/bin/env bash
# Builds the Debian packages into build/packaging/ (or $RG_PACKAGE_DIR):
# ravelgard, and libapache2-mod-ravelgard when the tree has the Apache module.
#
# The tree is copied to a staging directory with packaging/debian/ as its
# debian/, and the changelog is written there with the version of project() in
# CMakeLists.txt, so the version lives in one place. Build dependencies are
# installed with apt-get where missing; lintian checks the result unless
# RG_LINTIAN=0. Parallel jobs: RG_JOBS (default 2).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${RG_PACKAGE_DIR:-$root/build/packaging}"
jobs="${RG_JOBS:-2}"
stage="$out/stage"

say() { printf 'build.sh: %s\n' "$*"; }
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
apt_install() {
  local need=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
  done
  if [ ${#need[@]} -gt 0 ]; then
    say "installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
  fi
}

version="$(sed -n 's/^project(Ravelgard VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || { echo "build.sh: no project(Ravelgard VERSION ...) in CMakeLists.txt" >&2; exit 2; }

# What the tree holds decides which parts are packaged.
profiles=()
[ -f "$root/proxy/CMakeLists.txt" ] || profiles+=(pkg.ravelgard.noproxy)
[ -f "$root/apache/CMakeLists.txt" ] || profiles+=(pkg.ravelgard.noapache)
profile_list="$(IFS=,; echo "${profiles[*]:-}")"

apt_install dpkg-dev debhelper fakeroot build-essential
if [ "${RG_LINTIAN:-1}" != 0 ]; then apt_install lintian; fi

# The staging copy: tracked and new files of the work tree, without build output.
rm -rf "$stage"
mkdir -p "$stage/src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard -- . ':!:build' \
     | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done \
     | tar --null -T - -cf -) | tar -xf - -C "$stage/src"
  epoch="$(git -C "$root" log -1 --format=%ct)"
else
  tar -C "$root" --exclude=./build -cf - . | tar -xf - -C "$stage/src"
  epoch="$(date +%s)"
fi
rm -rf "$stage/src/debian"
cp -a "$root/packaging/debian" "$stage/src/debian"
{
  echo "ravelgard ($version) unstable; urgency=medium"
  echo
  echo "  * Built from the Ravelgard source tree, version $version."
  echo
  echo " -- Ravelgard developers <ravelgard@example.org>  $(date -u -R -d "@$epoch")"
} >"$stage/src/debian/changelog"

# Build dependencies, as the control file names them for these profiles.
cd "$stage/src"
if ! DEB_BUILD_PROFILES="${profile_list//,/ }" dpkg-checkbuilddeps >/dev/null 2>&1; then
  missing="$(DEB_BUILD_PROFILES="${profile_list//,/ }" dpkg-checkbuilddeps 2>&1 \
             | sed -n 's/.*Unmet build dependencies: //p' | sed 's/([^)]*)//g; s/<[^>]*>//g')"
  # shellcheck disable=SC2086
  apt_install $missing
fi

say "building ravelgard $version${profile_list:+ (profiles: $profile_list)}"
export SOURCE_DATE_EPOCH="$epoch"
export DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}"
log="$out/dpkg-buildpackage.log"
if ! dpkg-buildpackage -b -us -uc ${profile_list:+--build-profiles="$profile_list"} >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "build.sh: dpkg-buildpackage failed; the whole log is in $log" >&2
  exit 1
fi
cd "$out"
rm -f ./*.deb ./*.ddeb ./*.changes ./*.buildinfo
mv "$stage"/*.deb "$stage"/*.changes "$stage"/*.buildinfo "$out"/
mv "$stage"/*.ddeb "$out"/ 2>/dev/null || true
changes="$(ls "$out"/ravelgard_"$version"_*.changes)"

if [ "${RG_LINTIAN:-1}" != 0 ]; then
  say "lintian"
  # Tags the packages are known to carry are explained in packaging/README.md;
  # anything else fails the build.
  lintian --fail-on error,warning --suppress-tags-from-file "$root/packaging/lintian-suppressed" \
    "$changes"
fi
rm -rf "$stage"
say "packages in $out:"
ls -1 "$out"/*.deb
