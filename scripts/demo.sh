#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program on the bundled demo
# configuration. Without arguments it runs the scheduled job on the demo index,
# "/auto /index catalog"; any arguments are passed on instead. Without a display it
# runs headless and writes its messages and status lines to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build="${LUMORA_BUILD_DIR:-$(pwd)/build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target TessalyIndexManager
if [ $# -eq 0 ]; then set -- /auto /index catalog; fi
"$build/app/TessalyIndexManager" "$@" && status=0 || status=$?
echo "TessalyIndexManager exited with status $status" >&2
exit $status
