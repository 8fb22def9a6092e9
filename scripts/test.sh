#!/usr/bin/env bash
# Installs what is missing, builds, starts a throwaway PostgreSQL server on loopback
# and runs the whole test suite. The server is stopped at the end, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

build="${LUMORA_BUILD_DIR:-$root/build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

# --- throwaway PostgreSQL server ------------------------------------------------
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
pgdir=$(mktemp -d /tmp/lumora-pg.XXXXXX)
pgport=$(( 20000 + RANDOM % 20000 ))
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
trap stop_pg EXIT
"${as_pg[@]}" "$pgbin/initdb" -D "$pgdir/data" -U lumora -A trust -E UTF8 >/dev/null
"${as_pg[@]}" "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/server.log" -w \
  -o "-c listen_addresses=127.0.0.1 -p $pgport -k $pgdir -c fsync=off -c max_connections=200" start >/dev/null
export LUMORA_TEST_PG="127.0.0.1 $pgport lumora"
export LUMORA_REQUIRE_PG=1
export LUMORA_TEST_PG_CTL="${as_pg[*]} $pgbin/pg_ctl -D $pgdir/data"
# -------------------------------------------------------------------------------

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300
