#!/usr/bin/env bash
# Runs every libFuzzer target from its committed seed corpus for a bounded time and
# fails on a crash or a broken property (the input that broke it is kept as
# crash-* in the work folder and printed in base64).
#   scripts/fuzz.sh [seconds per target] [fuzz build folder]
# scripts/test.sh runs it for 12 seconds a target; a longer run, e.g. an hour each:
#   bash scripts/fuzz.sh 3600
# New inputs found are kept in the work folder, not added to fuzz/corpus; add an
# interesting one there by hand (keep the corpus small).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds="${1:-300}"
build="${2:-${LUMORA_FUZZ_BUILD_DIR:-$root/build-fuzz}}"

if [ ! -x "$build/fuzz/fuzz_tsql" ] || [ "${LUMORA_FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  # -O1 and line tables, as the sanitizer build of the test command: reports still
  # name file and line, and it builds faster than -O2 -g.
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_C_FLAGS="-O1 -g1" -DCMAKE_CXX_FLAGS="-O1 -g1" -DLUMORA_FUZZ=ON -DLUMORA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target lumora_fuzzers
fi

work=$(mktemp -d /tmp/lumora-fuzz.XXXXXX)
# Qt and the C library hold allocations until exit that are not ours; a leak inside
# one input would show as growing memory, which -rss_limit_mb catches.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
targets=(cmdline config connectiontext tsql snowball store)
# One target a core at a time: each still gets a core for its seconds.
fuzz_one() {
  local target=$1
  mkdir -p "$work/$target"
  (cd "$work" && "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
     -print_final_stats=1 -artifact_prefix="$work/$target-" "$work/$target" "$root/fuzz/corpus/$target" \
     >"$work/$target.log" 2>&1)
}
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  { s=0; fuzz_one "$target" || s=$?; echo $s >"$work/$target.status"; } &
done
wait
status=0
for target in "${targets[@]}"; do
  log="$work/$target.log"
  if [ "$(cat "$work/$target.status")" = 0 ]; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: $runs executions in ${seconds}s, no failure"
  else
    status=1
    echo "fuzz $target: FAILED" >&2
    grep -E -A12 "property violated|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error" "$log" | head -60 >&2 || tail -40 "$log" >&2
    ls "$work"/$target-* 2>/dev/null >&2 || true
  fi
done
if [ $status -eq 0 ]; then rm -rf "$work"; else echo "fuzz: inputs and logs kept in $work" >&2; fi
exit $status
