#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need, and only
# what is missing. Safe to run as root on a machine where apt-get update never ran.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6sql6-psql libqt6sql6-odbc
  libgl-dev
  libsqlite3-dev sqlite3 libpq-dev libstemmer-dev
  php-cli php-sqlite3
  libgtest-dev
  postgresql
  unixodbc libsqliteodbc
  rsync openssh-client openssh-server
  rclone libzstd-dev libcurl4-openssl-dev libssl-dev nginx radosgw ceph-mon ceph-osd
  clang clang-tidy lld
  fonts-liberation
  dpkg-dev file lintian
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
updated=0
apt_update() {
  # The package lists may never have been fetched on a fresh machine.
  if [ $updated -eq 0 ]; then $SUDO apt-get update -qq >/dev/null; updated=1; fi
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  apt_update
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The demo's and the benchmark's documents: the GCIDE dictionary, unpacked into the
# project's .deps/ folder rather than installed, since installing it would bring a
# dictionary server along.
root=$(cd "$(dirname "$0")/.." && pwd)
gcide="$root/.deps/gcide"
if [ ! -f "$gcide/usr/share/dictd/gcide.index" ] && [ ! -f /usr/share/dictd/gcide.index ]; then
  tmp=$(mktemp -d)
  if ! (cd "$tmp" && apt-get download -qq dict-gcide >/dev/null 2>&1); then
    apt_update
    (cd "$tmp" && apt-get download -qq dict-gcide >/dev/null 2>&1) || echo "setup: dict-gcide not available; the demo uses made-up text" >&2
  fi
  if ls "$tmp"/dict-gcide_*.deb >/dev/null 2>&1; then
    mkdir -p "$gcide"
    dpkg-deb -x "$tmp"/dict-gcide_*.deb "$gcide"
  fi
  rm -rf "$tmp"
fi

# promtool, which the tests use to check the monitoring files: only that one program,
# unpacked from Debian's prometheus package into .deps/ (installing the package would
# bring the whole server and its web assets along).
promtool="$root/.deps/prometheus/usr/bin/promtool"
if [ ! -x "$promtool" ] && ! command -v promtool >/dev/null; then
  tmp=$(mktemp -d)
  if ! (cd "$tmp" && apt-get download -qq prometheus >/dev/null 2>&1); then
    apt_update
    (cd "$tmp" && apt-get download -qq prometheus >/dev/null 2>&1) || echo "setup: prometheus not available; the metrics tests cannot run promtool" >&2
  fi
  if ls "$tmp"/prometheus_*.deb >/dev/null 2>&1; then
    mkdir -p "$root/.deps/prometheus"
    dpkg-deb --fsys-tarfile "$tmp"/prometheus_*.deb | tar -x -C "$root/.deps/prometheus" ./usr/bin/promtool
  fi
  rm -rf "$tmp"
fi
