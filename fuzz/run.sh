#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under the address and
# undefined-behaviour sanitizers (into build/fuzz) and, for each target:
#   1. replays every input under fuzz/regressions/<target>/ (each is a crash
#      found earlier and fixed since);
#   2. fuzzes for FUZZ_SECONDS seconds (default 45), starting from the
#      committed seeds in fuzz/corpus/<target>/ and the inputs earlier runs
#      kept in fuzz/corpus-work/<target>/ (not committed).
# A crash, a leak or a broken invariant makes the script exit non-zero; the
# input that did it is left in build/fuzz/artifacts/<target>/. At the end a
# table gives each target's executions per second and corpus size.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-45}"
build="${FUZZ_BUILD_DIR:-build/fuzz}"
targets=(fuzz_ini fuzz_canon fuzz_filter fuzz_chunking fuzz_framer)

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRG_BUILD_FUZZ=ON -DRG_BUILD_TESTS=OFF -DRG_BUILD_BENCH=OFF -DRG_WERROR=ON >/dev/null
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

dict_for() {
  case "$1" in
    fuzz_ini) echo fuzz/ini.dict ;;
    fuzz_framer) echo fuzz/framer.dict ;;
    *) echo fuzz/http.dict ;;
  esac
}

failed=()
summary=()
for target in "${targets[@]}"; do
  bin="$build/fuzz/$target"
  artifacts="$build/artifacts/$target"
  work="fuzz/corpus-work/$target"
  mkdir -p "$artifacts" "$work"

  regressions=(fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ]; then
    echo "==== $target: replaying ${#regressions[@]} regression input(s)"
    if ! "$bin" -runs=1 "${regressions[@]}" >"$artifacts/replay.log" 2>&1; then
      tail -n 40 "$artifacts/replay.log"
      failed+=("$target (regression replay)")
      continue
    fi
  fi

  echo "==== $target: fuzzing for ${seconds}s"
  log="$artifacts/fuzz.log"
  if ! "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -dict="$(dict_for "$target")" -artifact_prefix="$artifacts/" \
      "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    failed+=("$target")
  fi
  # A crashed run may lack these lines; the table then shows "-".
  execs=$(sed -n 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$log" | tail -1 || true)
  runs=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$log" | tail -1 || true)
  corpus=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -1 | sed 's/corp: //' || true)
  summary+=("$(printf '%-14s %10s %12s %14s' "$target" "${execs:--}" "${runs:--}" "${corpus:--}")")
done

echo
printf '%-14s %10s %12s %14s\n' target "exec/s" executions "corpus (n/size)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
