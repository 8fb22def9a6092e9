#!/usr/bin/env bash
# Takes the pictures in docs/: builds the demo index, then shows the main dialog and
# the search window under Xvfb at 100 dots per inch (QT_FONT_DPI, as a desktop's font
# setting would) with Debian's fonts, and saves them as PNG.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
missing=()
for p in xvfb xauth fonts-dejavu-core; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
build="${LUMORA_BUILD_DIR:-$(pwd)/build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target TessalyIndexManager lumora_screenshots
"$build/app/TessalyIndexManager" /auto /index catalog 2>/dev/null </dev/null || true
env -u QT_QPA_PLATFORM QT_FONT_DPI=100 xvfb-run -a -s "-screen 0 1280x800x24 -dpi 100" \
  "$build/tools/lumora_screenshots" "$build/app" "$(pwd)/docs"
