#!/usr/bin/env bash
# The package stage of the test command: builds the Debian package, checks its file
# list and lintian's verdict, installs it on this machine, runs the installed program
# headless (the usage; one automated build as the service user, through the
# configuration link, leaving its metrics file), verifies the systemd units, removes
# the package (the conffile stays) and purges it. Needs root (dpkg -i).
#   LUMORA_BUILD_DIR   the build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${LUMORA_BUILD_DIR:-$root/build}"
pkg=lumora-index-manager
fail() { echo "package stage: FAILED: $*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  echo "package stage: SKIPPED: installing the package needs root (run the test command as root)" >&2
  exit 0
fi
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
  fail "$pkg is already installed on this machine; remove it first (or set LUMORA_SKIP_PACKAGE=1)"
fi

missing=()
for p in lintian dpkg-dev file; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "package stage: installing ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    { apt-get update -qq >/dev/null
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }
fi

LUMORA_BUILD_DIR="$build" bash scripts/package.sh >/dev/null 2>&1 || fail "scripts/package.sh"

deb=$(ls "$build"/package/${pkg}_*.deb)
arch=$(dpkg --print-architecture)
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "${pkg}_${version}_${arch}.deb" ] || fail "unexpected file name $(basename "$deb")"

# --- the file list ------------------------------------------------------------------
expected="./etc/lumora-index-manager/IndexConfiguration.xml
./opt/lumora-index-manager/IndexConfiguration.xml -> /etc/lumora-index-manager/IndexConfiguration.xml
./opt/lumora-index-manager/TessalyIndexManager
./usr/lib/systemd/system/lumora-index@.service
./usr/lib/systemd/system/lumora-index@.timer
./usr/share/doc/lumora-index-manager/README.md
./usr/share/doc/lumora-index-manager/changelog.gz
./usr/share/doc/lumora-index-manager/copyright
./usr/share/lintian/overrides/lumora-index-manager
./usr/share/man/man1/TessalyIndexManager.1.gz"
actual=$(dpkg-deb -c "$deb" | grep -v '^d' | awk '{ $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }' | sort)
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  fail "the file list differs from the expected one"
fi
dpkg-deb -f "$deb" Depends | grep -q 'rsync' || fail "no dependency on rsync"
dpkg-deb -f "$deb" Depends | grep -q 'openssh-client' || fail "no dependency on openssh-client"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6core6' || fail "no shared-library dependencies"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/lumora-index-manager/IndexConfiguration.xml ] ||
  fail "the configuration is not the conffile"
echo "package stage: file list and dependencies as expected"

# --- lintian: warnings are allowed, errors are not -----------------------------------
lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors"
echo "package stage: lintian reports no errors"

# --- installed -----------------------------------------------------------------------
work=$(mktemp -d /tmp/lumora-package.XXXXXX)
# A purge keeps the service user and its folder (they hold data); what this stage
# created, it removes.
had_user=0
getent passwd lumora-index >/dev/null && had_user=1
cleanup() {
  dpkg --purge "$pkg" >/dev/null 2>&1 || true
  if [ $had_user -eq 0 ] && getent passwd lumora-index >/dev/null; then
    deluser --system --quiet lumora-index >/dev/null 2>&1 || true
    getent group lumora-index >/dev/null && { delgroup --system --quiet lumora-index >/dev/null 2>&1 || true; }
    rm -rf /var/lib/lumora-index-manager
  fi
  rm -rf "$work"
}
trap cleanup EXIT
dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "dpkg -i"; }
opt=/opt/lumora-index-manager
[ -L $opt/IndexConfiguration.xml ] || fail "the configuration beside the program is not a link"
[ "$(readlink $opt/IndexConfiguration.xml)" = /etc/lumora-index-manager/IndexConfiguration.xml ] ||
  fail "the link points to $(readlink $opt/IndexConfiguration.xml)"
getent passwd lumora-index >/dev/null || fail "no service user"
[ "$(stat -c %U /etc/lumora-index-manager)" = lumora-index ] || fail "the configuration folder is not the service user's"

set +e
usage=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM $opt/TessalyIndexManager /help 2>&1 >/dev/null)
status=$?
set -e
[ $status -eq 1 ] || fail "/help exited with $status, not 1"
echo "$usage" | grep -q '^Usage:' || fail "/help wrote no usage: $usage"
echo "$usage" | grep -q 'TessalyIndexManager  \[/help\]' || fail "/help wrote no usage: $usage"
echo "package stage: installed; /help shows the usage and exits with 1"

# The shipped example configuration loads through the link: start-up shows the dialog
# with the index selected (headless, the run then ends with 0).
set +e
startup=$(runuser -u lumora-index -- env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
  $opt/TessalyIndexManager /index catalog 2>&1)
status=$?
set -e
[ $status -eq 0 ] || fail "the shipped configuration does not start (exit $status): $startup"
echo "package stage: the shipped configuration loads"

# One automated build as the service user, on the demo database, through the link.
# The configuration is replaced by one that names it; the package is purged after.
chown lumora-index: "$work"
mkdir -p "$work/metrics" "$work/data"
cp "$build/app/demo/app.db" "$work/data/app.db"
chown -R lumora-index: "$work/metrics" "$work/data"
cat > /etc/lumora-index-manager/IndexConfiguration.xml <<XML
<?xml version="1.0" encoding="UTF-8"?>
<IndexConfiguration>
  <Index name="catalog" display="Catalog">
    <IndexPath>$work/data/index</IndexPath>
    <DbDataSources>
      <DataSource name="Primary">Provider=SQLite;Database=$work/data/app.db</DataSource>
      <DataSource name="RAdozudo">Provider=SQLite;Database=$work/data/app.db</DataSource>
    </DbDataSources>
    <IndexSetting1>SELECT DOCID, TITLE, BODY FROM DOCUMENT</IndexSetting1>
    <LastBuilt></LastBuilt>
    <NumDocuments></NumDocuments>
  </Index>
  <MetricsDirectory>$work/metrics</MetricsDirectory>
</IndexConfiguration>
XML
chown lumora-index: /etc/lumora-index-manager/IndexConfiguration.xml
set +e
runuser -u lumora-index -- env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
  ZARVIK_EVENT_LOG="$work/events.jsonl" $opt/TessalyIndexManager /auto /index catalog >"$work/run.log" 2>&1
status=$?
set -e
[ $status -eq 0 ] || { cat "$work/run.log" "$work/events.jsonl" >&2 2>/dev/null; fail "the automated build exited with $status"; }
documents=$(sqlite3 "$work/data/app.db" "SELECT COUNT(*) FROM DOCUMENT")
[ -L $opt/IndexConfiguration.xml ] || fail "the build replaced the configuration link by a file"
grep -q "<NumDocuments>$documents</NumDocuments>" /etc/lumora-index-manager/IndexConfiguration.xml ||
  fail "the build did not write its results through the link"
prom="$work/metrics/lumora_index_catalog.prom"
[ -f "$prom" ] || fail "no metrics file"
grep -q "^lumora_index_last_run_success{index=\"catalog\"} 1$" "$prom" || fail "metrics: the run is not a success"
grep -q "^lumora_index_documents{index=\"catalog\"} $documents$" "$prom" || fail "metrics: not $documents documents"
promtool="${LUMORA_PROMTOOL:-$root/.deps/prometheus/usr/bin/promtool}"
if [ -x "$promtool" ]; then
  "$promtool" check metrics < "$prom" || fail "promtool rejects the metrics file"
  echo "package stage: an automated build as the service user wrote through the link; promtool accepts its metrics"
else
  echo "package stage: an automated build as the service user wrote through the link (promtool not found)"
fi

# --- the systemd units ---------------------------------------------------------------
if command -v systemd-analyze >/dev/null; then
  man_check=()
  command -v man >/dev/null || man_check=(--man=no)
  systemd-analyze verify "${man_check[@]}" /usr/lib/systemd/system/lumora-index@.service \
    /usr/lib/systemd/system/lumora-index@.timer || fail "systemd-analyze verify"
  echo "package stage: systemd-analyze verify accepts both units"
else
  echo "package stage: systemd is not installed here; the units were not verified"
fi

# --- removed: the conffile stays; purged: it goes --------------------------------------
# (dpkg warns about shared folders such as /opt that other packages still use.)
dpkg -r "$pkg" >"$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; fail "dpkg -r"; }
[ ! -e $opt/TessalyIndexManager ] || fail "dpkg -r left the program"
[ -f /etc/lumora-index-manager/IndexConfiguration.xml ] || fail "dpkg -r removed the conffile"
dpkg-query -W -f='${Status}' "$pkg" | grep -q 'config-files' || fail "not in the config-files state after dpkg -r"
dpkg --purge "$pkg" >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "dpkg --purge"; }
[ ! -e /etc/lumora-index-manager/IndexConfiguration.xml ] || fail "dpkg --purge left the conffile"
echo "package stage: dpkg -r keeps the conffile, dpkg --purge removes it"
echo "package stage: passed"
