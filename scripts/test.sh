#!/usr/bin/env bash
# Installs what is missing, builds, starts a throwaway PostgreSQL server on loopback
# and runs the whole test suite twice: as built normally and built with
# AddressSanitizer and UndefinedBehaviorSanitizer (any report fails the run); then
# runs each libFuzzer target briefly from its committed seed corpus. The server is
# stopped at the end, also on failure.
# After the normal run, the package stage builds and checks the Debian package and
# runs its life cycle on this machine's dpkg: a fresh install that builds the shipped
# example, an upgrade from a 1.0.0 package, remove and purge (scripts/package_test.sh;
# it needs root).
#   LUMORA_SKIP_SANITIZE=1 / LUMORA_SKIP_FUZZ=1 / LUMORA_SKIP_PACKAGE=1 leave a stage
#   out (for quick local runs).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)
stage_started=$started
# The machine's busy, total and stolen CPU ticks so far (all cores), from /proc/stat:
# on a virtual machine the host may take a share of the cores (steal), which slows
# every stage alike.
cpu_ticks() { awk '/^cpu /{print $2+$3+$4+$7+$8, $2+$3+$4+$5+$6+$7+$8, $9}' /proc/stat; }
stage_ticks=$(cpu_ticks)
# Each stage ends with its own time, how busy the cores were, and the time since the start.
stage_done() {
  local now ticks busy
  now=$(date +%s)
  ticks=$(cpu_ticks)
  busy=$(echo "$stage_ticks $ticks" | awk '{t = $5 - $2; s = $6 - $3;
    print (t > 0 ? int(100 * ($4 - $1) / t) : 0) "% busy, " (t + s > 0 ? int(100 * s / (t + s)) : 0) "% stolen"}')
  echo "test: $1 took $(( now - stage_started ))s (cores ${busy}), $(( now - started ))s since the start"
  stage_started=$now
  stage_ticks=$ticks
}

bash scripts/setup.sh
stage_done "setup"

build="${LUMORA_BUILD_DIR:-$root/build}"
# Both builds link with lld: the suite is some sixty programs, each linked against Qt,
# and lld links them in a fraction of the time of the default linker.
lld=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld
  -DCMAKE_MODULE_LINKER_FLAGS=-fuse-ld=lld)
# -O1 and no debug information: a test file of this code base compiles in 12 s instead
# of the 22 s of -O2 -g; the sanitizer build below names file and line.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${lld[@]}" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" >/dev/null
cmake --build "$build" -j "$(nproc)"
stage_done "normal build"

# clang-tidy (.clang-tidy) on the sources changed against main (LUMORA_TIDY_BASE):
# all of src/ takes longer than the whole suite on two cores. A warning fails.
tidy_base="${LUMORA_TIDY_BASE:-main}"
if git rev-parse -q --verify "$tidy_base" >/dev/null 2>&1; then
  mapfile -t tidy_files < <(git diff --name-only --diff-filter=AMR "$(git merge-base HEAD "$tidy_base")" -- 'src/*.cpp')
  if [ ${#tidy_files[@]} -gt 0 ]; then
    # clang cannot read gcc's precompiled headers: clang-tidy parses each file with
    # its own includes, which also checks that it includes what it uses.
    mkdir -p "$build/tidy"
    sed -E 's/ -include [^ ]*cmake_pch\.hxx//g; s/ -Winvalid-pch//g' "$build/compile_commands.json" \
      >"$build/tidy/compile_commands.json"
    printf '%s\n' "${tidy_files[@]}" |
      xargs -P "$(nproc)" -n 4 clang-tidy -p "$build/tidy" --quiet --warnings-as-errors='*'
    echo "test: clang-tidy passed on ${#tidy_files[@]} changed files"
  fi
fi

# The sanitizer build: clang, which compiles this code base in two thirds of gcc's
# time (and so both compilers check it with -Werror), -O1 and line tables only,
# which keeps the build and the instrumented run short while reports still name file
# and line. It carries the libFuzzer targets too, so they need no build of their own.
# It compiles while the normal build's tests run, at a lower priority: the tests come
# first and the compiler takes the time they leave (they wait on programs, servers and
# disks, and the last long test runs alone); it is waited for before its own tests.
asan="${LUMORA_ASAN_BUILD_DIR:-$root/build-asan}"
asan_pid=
if [ "${LUMORA_SKIP_SANITIZE:-0}" != 1 ] || [ "${LUMORA_SKIP_FUZZ:-0}" != 1 ]; then
  # A folder configured earlier with another compiler cannot switch: start it afresh.
  if [ -f "$asan/CMakeCache.txt" ] && ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang' "$asan/CMakeCache.txt"; then
    rm -rf "$asan"
  fi
  CC=clang CXX=clang++ cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=None "${lld[@]}" -DCMAKE_C_FLAGS="-O1 -g1" \
    -DCMAKE_CXX_FLAGS="-O1 -g1" -DLUMORA_SANITIZE=ON -DLUMORA_FUZZ=ON >/dev/null
  asan_started=$(date +%s)
  nice -n 10 cmake --build "$asan" -j "$(nproc)" >"$asan/build.log" 2>&1 &
  asan_pid=$!
fi
# Waits for the sanitizer build started above; its output when it failed.
wait_asan_build() {
  [ -n "$asan_pid" ] || return 0
  local status=0
  wait "$asan_pid" || status=$?
  asan_pid=
  if [ $status -ne 0 ]; then
    tail -n 60 "$asan/build.log" >&2
    echo "test: the sanitizer build failed (all of it in $asan/build.log)" >&2
    exit 1
  fi
  stage_done "waiting for the sanitizer build (it took $(( $(date +%s) - asan_started ))s beside the tests)"
}
# On an early exit: ninja stops its compilers when it is told to stop.
stop_asan_build() {
  if [ -n "$asan_pid" ]; then
    pkill -TERM -P "$asan_pid" 2>/dev/null || true
    kill "$asan_pid" 2>/dev/null || true
  fi
}

# --- throwaway PostgreSQL server ------------------------------------------------
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
pgdir=$(mktemp -d /tmp/lumora-pg.XXXXXX)
# Below the ephemeral range, where no outgoing connection can hold it.
pgport=$(( 20000 + RANDOM % 12000 ))
as_pg=()
if [ "$(id -u)" -eq 0 ]; then
  # initdb refuses to run as root.
  chown postgres: "$pgdir"
  as_pg=(runuser -u postgres --)
fi
stop_pg() {
  "${as_pg[@]}" "$pgbin/pg_ctl" -D "$pgdir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$pgdir"
}
trap 'stop_pg; stop_asan_build' EXIT
"${as_pg[@]}" "$pgbin/initdb" -D "$pgdir/data" -U lumora -A trust -E UTF8 >/dev/null
"${as_pg[@]}" "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/server.log" -w \
  -o "-c listen_addresses=127.0.0.1 -p $pgport -k $pgdir -c fsync=off -c max_connections=200" start >/dev/null
export LUMORA_TEST_PG="127.0.0.1 $pgport lumora"
export LUMORA_REQUIRE_PG=1
export LUMORA_TEST_PG_CTL="${as_pg[*]} $pgbin/pg_ctl -D $pgdir/data"
# -------------------------------------------------------------------------------

# --- the store servers: an S3 server (Ceph's RADOS Gateway) and nginx ---------
storedir=$(mktemp -d /tmp/lumora-stores.XXXXXX)
stop_servers() {
  bash "$root/scripts/storeservers.sh" stop "$storedir" >/dev/null 2>&1 || true
  stop_pg
}
trap 'stop_servers; stop_asan_build' EXIT
stores=$(bash scripts/storeservers.sh start "$storedir")
export $stores
export LUMORA_REQUIRE_STORES=1
# -------------------------------------------------------------------------------

export QT_QPA_PLATFORM=offscreen
# The metrics tests check every file with promtool, which setup.sh unpacked.
export LUMORA_REQUIRE_PROMTOOL=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300
stage_done "normal build's tests"

if [ "${LUMORA_SKIP_PACKAGE:-0}" != 1 ]; then
  LUMORA_BUILD_DIR="$build" bash scripts/package_test.sh
  stage_done "package stage"
fi
wait_asan_build

if [ "${LUMORA_SKIP_SANITIZE:-0}" != 1 ]; then
  # Leaks count, except those of the uninstrumented libraries listed in the
  # suppressions file (Qt's and the font and database client libraries' own).
  # The programs the tests start inherit these settings.
  export ASAN_OPTIONS="abort_on_error=1:detect_stack_use_after_return=0:strict_string_checks=1"
  export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  # One test more than there are cores: with as many, the cores stood idle a fifth of
  # the stage while tests waited on their servers and programs (78 % busy, 218 s;
  # one more: 94 %, 192 s).
  ctest --test-dir "$asan" --output-on-failure -j "$(( $(nproc) + 1 ))" --timeout 600
  unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
  stage_done "sanitizer build's tests"
fi

if [ "${LUMORA_SKIP_FUZZ:-0}" != 1 ]; then
  LUMORA_FUZZ_SKIP_BUILD=1 bash scripts/fuzz.sh "${LUMORA_FUZZ_SECONDS:-12}" "$asan"
  stage_done "fuzzing"
fi
echo "test: all stages passed in $(( $(date +%s) - started ))s"
