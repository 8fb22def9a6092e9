#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program on the bundled demo
# configuration. Without a display it runs headless and traces to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build="${LUMORA_BUILD_DIR:-$(pwd)/build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target TessalyIndexManager
exec "$build/app/TessalyIndexManager" "$@"
