#!/usr/bin/env bash
# The Windows filter, Ravelgard.dll, built with mingw-w64 for x86-64 and
# for 32-bit x86, both run headless under Wine against the POSIX module:
# one 64-bit prefix runs the x86-64 programs and, through WoW64, the 32-bit
# ones (setup.sh installs wine64 and wine32). For each of the two builds:
#   1. the DLL exports exactly the three entry points, needs only system
#      DLLs and none of the functions the oldest servers lack;
#   2. the example requests, each on its own connection and all on one,
#      whole, in 1-byte and in random chunks, get the
#      same verdicts from the DLL (through the same build's
#      ravelgard-host.exe) as from `ravelgard check`, and the same block
#      pages, Server headers and log records from the DLL as from
#      Ravelgard.so (through a native build of the same host program);
#   3. a table of policy files that cannot be used gives the same Windows
#      error numbers from the DLL as from Ravelgard.so;
#   4. the INI reader gives the same answers as the Windows profile
#      functions (ini_compare.py);
#   5. the core's unit tests built for Windows pass under Wine.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
bash tests/windows/setup.sh
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

step() { printf '\n---- windows: %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }
failures=0
checks=0
check_same() {  # name, expected file, actual file
  checks=$((checks + 1))
  if ! diff -u "$2" "$3" > "$work/diff.txt"; then
    fail "$1"
    head -40 "$work/diff.txt"
  fi
}

step "build: native module and command, DLL and host for x86-64 and x86"
native=${RG_NATIVE_BUILD:-build/release}
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$native" -j "$jobs" --target Ravelgard ravelgard ravelgard_core rg_llhttp >/dev/null
arches=(x86_64 i686)
for arch in "${arches[@]}"; do
  # The toolchain file counts only when the build directory is new; CMake
  # would warn about it on every later run.
  cmake -S . -B "build/win-$arch" --toolchain "cmake/toolchain-mingw-w64-$arch.cmake" --no-warn-unused-cli \
    -DCMAKE_BUILD_TYPE=Release -DRG_WERROR=ON -DRG_BUILD_TESTS=ON -DRG_BUILD_BENCH=OFF >/dev/null
  cmake --build "build/win-$arch" -j "$jobs" --target Ravelgard ravelgard-host ini-dump >/dev/null
done

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
cleanup() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# The same host program built natively drives Ravelgard.so; the tools for
# the INI comparison likewise.
g++ -std=c++20 -O1 -Wall -Wextra -Werror -I. -Isrc -I/usr/share/include/llhttp -o "$work/host" \
  windows/ravelgard-host.cpp src/frame/framer.cpp src/scan/byte_scan.cpp src/log/reasons.cpp \
  "$native/librg_llhttp.a" -ldl
g++ -std=c++20 -O1 -Wall -Wextra -Werror -Isrc -o "$work/ini-dump" tests/windows/ini_dump.cpp \
  src/platform/profile_posix.cpp src/platform/heap_posix.cpp src/platform/file_posix.cpp

# A Windows path for a POSIX one: Wine shows the root as drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

step "exports and imports"
for arch in "${arches[@]}"; do
  objdump=$arch-w64-mingw32-objdump
  dll=build/win-$arch/Ravelgard.dll
  checks=$((checks + 1))
  exports=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
  [ "$exports" = "GetFilterVersion HttpFilterProc TerminateFilter " ] ||
    fail "$arch: Ravelgard.dll exports '$exports'"
  checks=$((checks + 1))
  imports=$($objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' | sort -u | tr '\n' ' ')
  for name in $imports; do
    case $name in
      KERNEL32.DLL | MSVCRT.DLL | SHLWAPI.DLL | USER32.DLL | ADVAPI32.DLL) ;;
      *) fail "$arch: Ravelgard.dll needs $name, which is not a system DLL" ;;
    esac
  done
  # IIS 5.1 and 6.0 run on Windows XP and Server 2003: a function first
  # found in Vista (GetTickCount64 from a threads library, slim locks, one-
  # time init, condition variables) would keep the DLL from loading there.
  checks=$((checks + 1))
  functions=$($objdump -p "$dll" | sed -n '/DLL Name:/,/^$/p' | awk 'NF >= 3 && $1 ~ /^[0-9a-f]+$/ {print $NF}')
  for name in $functions; do
    case $name in
      GetTickCount64 | *SRWLock* | InitOnce* | *ConditionVariable* | GetFileInformationByHandleEx | \
        SetFileInformationByHandle | GetFinalPathNameByHandle* | CreateSymbolicLink* | \
        GetLocaleInfoEx | *Ex2) fail "$arch: Ravelgard.dll imports $name, which Windows XP lacks" ;;
    esac
  done
  # IIS 5.0 runs on 32-bit Windows 2000, whose kernel and C runtime lack
  # what XP brought: finding a module by address (GetModuleHandleEx), the
  # system's own slists and vectored handlers, the newer C runtime's locale
  # and aligned-memory functions.
  if [ "$arch" = i686 ]; then
    checks=$((checks + 1))
    for name in $functions; do
      case $name in
        GetModuleHandleEx* | GetNativeSystemInfo | GetSystemTimes | GetProcessId | AttachConsole | \
          *VectoredExceptionHandler | InitializeSListHead | Interlocked*SList | QueryDepthSList | \
          GetLogicalProcessorInformation | IsWow64Process | HeapSetInformation | \
          HeapQueryInformation | [GS]etDllDirectory* | ___lc_codepage_func | ___mb_cur_max_func | \
          _aligned_* | _vscprintf | *_s)
          fail "$arch: Ravelgard.dll imports $name, which Windows 2000 lacks" ;;
      esac
    done
  fi
  echo "$arch: exports $exports; imports $imports"
done

step "starting Wine"
# wine64 hands a 32-bit program to Wine's 32-bit loader, which comes with
# wine32: without it every 32-bit run below would fail without a word.
[ -x /usr/lib/wine/wine ] || { echo "FAIL: no 32-bit Wine (wine32:i386) to run the i686 build"; exit 1; }
# Some virtual machines run 64-bit programs only (the kernel answers a
# 32-bit execve with ENOEXEC): there the i686 build is made and its exports
# and imports checked above, but it cannot be run, and the runs below say so
# instead of failing on every line.
run_arches=("${arches[@]}")
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "SKIP: i686: this machine's kernel runs no 32-bit programs (/usr/lib/wine/wine does not" \
    "start), so the 32-bit DLL is built and inspected but not run"
  run_arches=(x86_64)
fi
"$wine" wineboot -i >/dev/null 2>&1 || true

step "example requests: verdicts, block pages, Server headers and log records"
cp "$native/Ravelgard.so" "$work/Ravelgard.so"
mkdir -p "$work/ini"
cp examples/Ravelgard.ini "$work/ini/example.ini"
sed 's/^Simulate=0/Simulate=1/' examples/Ravelgard.ini > "$work/ini/simulate.ini"
sed -e 's/^RemoveBanner=1/RemoveBanner=0/' -e 's/^; ChangeBanner=.*//' \
  -e 's/^\[Globals\]/[Globals]\r\nChangeBanner=Web Server/' examples/Ravelgard.ini > "$work/ini/banner.ini"
sed 's/^RemoveBanner=1/RemoveBanner=0/' examples/Ravelgard.ini > "$work/ini/serverbanner.ini"
# Timestamps differ between runs, the log directory's name between systems.
normalize_log() {
  sed -E -e 's/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} /<time> /' \
    -e 's/^#Date: .*/#Date: <time>/' -e 's/^# Log files in .*/# Log files in <dir>/' "$1"
}
# The example requests, and all of them sent one after another on one
# connection, which the filter must tell apart however the pieces fall.
mkdir -p "$work/connections/requests"
cp examples/requests/*.http "$work/connections/requests/"
cat examples/requests/*.http > "$work/connections/requests/99-all-on-one-connection.http"
# A framing two servers could read differently is refused with the framer's
# own message, in place of its reason's.
printf '%b' 'POST /a.htm HTTP/1.1\r\nHost: www.example.com\r\nContent-Length: 5\r\n' \
  'Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n' 'GET / HTTP/1.1\r\nHost: www.example.com\r\n\r\n' \
  > "$work/connections/requests/98-ambiguous-framing.http"
cd "$work/connections"
# The last run: a server that cannot change the Server header, so that the
# filter blocks every response rather than let the banner out. The native
# side runs once; each DLL is held against it.
for policy in example simulate banner serverbanner example/refused; do
  ini=$work/ini/${policy%/*}.ini
  for mode in "whole" "1" "random"; do
    args=()
    [ "$mode" = 1 ] && args=(--chunk 1)
    [ "$mode" = random ] && args=(--chunk random --seed 7)
    if [ "$policy" = example/refused ]; then
      [ "$mode" = whole ] || continue
      args=(--refuse-server-header)
    else
      "$root/$native/tools/ravelgard" check -c "$ini" "${args[@]}" requests/*.http \
        > "$work/check.txt" 2>&1 || true
    fi
    rm -rf "$work/log-so"
    "$work/host" --module "$work/Ravelgard.so" -c "$ini" --log "$work/log-so" --responses \
      "${args[@]}" requests/*.http > "$work/so-full.txt" 2>&1 || true
    so_logs=$(cd "$work/log-so" 2>/dev/null && ls) || true

    for arch in "${run_arches[@]}"; do
      win=$root/build/win-$arch
      name="$arch: $policy, $mode"
      if [ "$policy" != example/refused ]; then
        "$wine" "$win/ravelgard-host.exe" -c "$(winpath "$ini")" "${args[@]}" requests/*.http \
          > "$work/dll.txt" 2>&1 || true
        check_same "$name: verdicts of Ravelgard.dll against ravelgard check" "$work/check.txt" \
          "$work/dll.txt"
        echo "$name: $(tail -1 "$work/dll.txt")"
      fi

      rm -rf "$work/log-dll"
      "$wine" "$win/ravelgard-host.exe" -c "$(winpath "$ini")" --log "$(winpath "$work/log-dll")" \
        --responses "${args[@]}" requests/*.http > "$work/dll-full.txt" 2>&1 || true
      check_same "$name: pages and headers of Ravelgard.dll against Ravelgard.so" \
        "$work/so-full.txt" "$work/dll-full.txt"
      checks=$((checks + 1))
      dll_logs=$(cd "$work/log-dll" 2>/dev/null && ls) || true
      if [ -z "$so_logs" ] || [ "$so_logs" != "$dll_logs" ]; then
        fail "$name: log files '$so_logs' from Ravelgard.so, '$dll_logs' from Ravelgard.dll"
      else
        for f in $so_logs; do
          normalize_log "$work/log-so/$f" > "$work/so-log.txt"
          normalize_log "$work/log-dll/$f" > "$work/dll-log.txt"
          check_same "$name: log $f of Ravelgard.dll against Ravelgard.so" \
            "$work/so-log.txt" "$work/dll-log.txt"
        done
      fi
    done
  done
done
cd "$root"

step "policy files that cannot be used: the same error numbers"
# Each case lays out a directory with the module and what the case needs
# around it, once with POSIX paths for Ravelgard.so, once with Windows paths
# for each build of Ravelgard.dll, then starts the filter in place.
today=$(date +%Y%m%d)
printf 'GET / HTTP/1.1\r\nHost: www.example.com\r\n\r\n' > "$work/get.http"
long=$(printf 'd%.0s' $(seq 1 200))
layout() {  # case, side (so, or the DLL's arch), directory; prints the host's extra options
  local kind=$1 side=$2 dir=$3 module=Ravelgard.dll ini path
  [ "$side" = so ] && module=Ravelgard.so
  mkdir -p "$dir"
  path() { if [ "$side" = so ]; then printf '%s' "$1"; else winpath "$1"; fi; }
  # The same, quoted for a sed replacement.
  sedpath() { path "$1" | sed 's/[\\|&]/\\&/g'; }
  case $kind in
    # A module path of 258 characters on Windows (Z: and 242 for the
    # directory): short enough for LoadLibrary (259), too long for the
    # filter's own 255 once its extension is replaced.
    long-module-path)
      dir="$dir/$(printf 'd%.0s' $(seq 1 $((241 - ${#dir}))))"
      mkdir -p "$dir" ;;
  esac
  if [ "$side" = so ]; then cp "$work/Ravelgard.so" "$dir/"; else cp "build/win-$side/Ravelgard.dll" "$dir/"; fi
  ini="$dir/Ravelgard.ini"
  cp examples/Ravelgard.ini "$ini"
  case $kind in
    missing-ini) rm "$ini" ;;
    ini-is-a-directory) rm "$ini"; mkdir "$ini" ;;
    unreadable-ini) chmod 000 "$ini" ;;
    ini-in-use) printf -- '--hold\n%s\n' "$(path "$ini")" ;;
    log-in-use)
      mkdir -p "$dir/LogFiles"
      : > "$dir/LogFiles/Ravelgard.$today.log"
      printf -- '--hold\n%s\n' "$(path "$dir/LogFiles/Ravelgard.$today.log")" ;;
    log-under-a-file)
      : > "$dir/plain-file"
      sed -i "s|^; LogFilesDir=.*|LogFilesDir=$(sedpath "$dir/plain-file/logs")|" "$ini" ;;
    long-log-directory)
      sed -i "s|^; LogFilesDir=.*|LogFilesDir=$(sedpath "$dir/$long/$long")|" "$ini" ;;
    # Three levels that do not exist yet: all are made, not only the last.
    log-directory-levels-missing)
      sed -i "s|^; LogFilesDir=.*|LogFilesDir=$(sedpath "$dir/one/two/three")|" "$ini" ;;
    long-module-path | starts) ;;
  esac
  printf -- '--module\n%s\n' "$(path "$dir/$module")"
}
outcome() {  # the host's output, exit status -> "started", "did not start: error N" or the problem
  case $1 in
    *"did not start: error "*) grep -o 'did not start: error [0-9]*' <<< "$1" ;;
    *"1 passed"*) echo started ;;
    # Under Wine (WINEDEBUG=-all) a crash prints nothing: say so.
    "") echo "no output, exit status $2" ;;
    *) head -1 <<< "$1" ;;
  esac
}
# A log directory of 254 characters (the longest value the loader reads)
# gives a log file path past MAX_PATH (260): Windows refuses it with 206,
# POSIX systems take it. Paths that long are the one place where the two
# modules part.
declare -A expected=([missing-ini]=2 [ini-is-a-directory]=5 [ini-in-use]=32 [log-in-use]=32
  [log-under-a-file]=3 [long-log-directory]="1 passed/did not start: error 206"
  [log-directory-levels-missing]=none [long-module-path]=206 [starts]=none)
cases=(missing-ini ini-is-a-directory ini-in-use log-in-use log-under-a-file long-log-directory
  log-directory-levels-missing long-module-path starts)
# Permissions bind everyone but root.
[ "$(id -u)" -ne 0 ] && cases+=(unreadable-ini) && expected[unreadable-ini]=5
for case in "${cases[@]}"; do
  mapfile -t so_args < <(layout "$case" so "$work/policy-so/$case")
  so_status=0
  so=$("$work/host" --in-place "${so_args[@]}" "$work/get.http" 2>&1) || so_status=$?
  so=$(outcome "$so" "$so_status")
  want=${expected[$case]}
  for arch in "${run_arches[@]}"; do
    mapfile -t dll_args < <(layout "$case" "$arch" "$work/policy-$arch/$case")
    dll_status=0
    dll=$("$wine" "$root/build/win-$arch/ravelgard-host.exe" --in-place "${dll_args[@]}" \
      "$(winpath "$work/get.http")" 2>&1) || dll_status=$?
    dll=$(outcome "$dll" "$dll_status")
    checks=$((checks + 1))
    echo "$arch: $case: Ravelgard.so: $so; Ravelgard.dll: $dll"
    if [[ $want == */* ]]; then
      # A known difference of the platforms: "POSIX outcome/Windows outcome".
      [ "$so" = "$(outcome "${want%/*}")" ] && [ "$dll" = "$(outcome "${want#*/}")" ] ||
        fail "$arch: $case: expected '$want', Ravelgard.so '$so', Ravelgard.dll '$dll'"
    elif [ "$so" != "$dll" ]; then
      fail "$arch: $case: Ravelgard.so '$so', Ravelgard.dll '$dll'"
    elif [ "$want" = none ] && [ "$so" != started ]; then
      fail "$arch: $case: the filter should start"
    elif [ "$want" != any ] && [ "$want" != none ] && [ "$so" != "did not start: error $want" ]; then
      fail "$arch: $case: expected error $want, both give '$so'"
    fi
  done
done
# A filter started in place keeps its log in LogFiles beside its INI file,
# or in the LogFilesDir it made.
checks=$((checks + 1))
for side in so "${run_arches[@]}"; do
  module=Ravelgard.so
  [ "$side" = so ] || module="$side Ravelgard.dll"
  [ -f "$work/policy-$side/starts/LogFiles/Ravelgard.$today.log" ] ||
    fail "$module started in place: no log in LogFiles beside the INI file"
  [ -f "$work/policy-$side/log-directory-levels-missing/one/two/three/Ravelgard.$today.log" ] ||
    fail "$module: no log in the LogFilesDir whose three levels were missing"
done

step "the INI reader against the Windows profile functions"
for arch in "${run_arches[@]}"; do
  mkdir -p "$work/ini-compare-$arch"
  checks=$((checks + 1))
  echo "$arch:"
  python3 tests/windows/ini_compare.py "$work/ini-compare-$arch" "$work/ini-dump" -- \
    "$wine" "$root/build/win-$arch/ini-dump.exe" || fail "$arch: INI reader comparison"
done

step "unit tests under Wine"
for arch in "${run_arches[@]}"; do
  win=build/win-$arch
  while read -r test; do
    checks=$((checks + 1))
    if ! cmake --build "$win" -j "$jobs" --target "$test" > "$work/unit.txt" 2>&1; then
      fail "$arch: $test does not build for Windows"
      grep -E 'error' "$work/unit.txt" | head -10
    elif "$wine" "$root/$win/$test.exe" --gtest_brief=1 > "$work/unit.txt" 2>&1; then
      echo "$arch: $test: $(grep -E '^\[  PASSED  \]' "$work/unit.txt" | tr -d '\r')"
    else
      fail "$arch: $test under Wine"
      tr -d '\r' < "$work/unit.txt" | grep -E 'FAILED|Failure|error' | head -20
    fi
  done < "$win/windows_tests.txt"
done

echo
echo "windows: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
