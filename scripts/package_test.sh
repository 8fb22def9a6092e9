#!/usr/bin/env bash
# The package stage of the test command, on this machine's real dpkg: builds the Debian
# package, checks its file list and lintian's verdict, then runs a whole life cycle in
# named steps:
#   fresh install   the shipped example builds as the unit runs it, exit 0; /log, the
#                   metrics file, /usr/bin; purge removes every folder of the package
#   old version     a 1.0.0 package built here with dpkg-deb, which declares the
#                   configuration a conffile; a build as the service user through the
#                   /opt link writes its results into that file
#   upgrade         the new package, noninteractive, stdin closed, no --force-conf*:
#                   no question, the file byte for byte the same and no longer a
#                   conffile; the unit's command still builds
#   remove / purge  dpkg -r keeps the configuration, dpkg -P removes it
#   readers' package  lumora-index-pull alone (no Qt Widgets, X or database client in
#                   its dependencies); its agent, as its service user, pulls the index
#                   the builds above published to a local store; purge
# Needs root (dpkg -i).
#   LUMORA_BUILD_DIR   the build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${LUMORA_BUILD_DIR:-$root/build}"
pkg=lumora-index-manager
step="preparing"
fail() { echo "package stage: FAILED in step \"$step\": $*" >&2; exit 1; }
begin() { step="$1"; echo "package stage: $step" >&2; }

if [ "$(id -u)" -ne 0 ]; then
  echo "package stage: SKIPPED: installing the package needs root (run the test command as root)" >&2
  exit 0
fi
if dpkg-query -W -f='${Status}' lumora-index-pull 2>/dev/null | grep -q 'install ok installed'; then
  fail "lumora-index-pull is already installed on this machine; remove it first (or set LUMORA_SKIP_PACKAGE=1)"
fi
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
  fail "$pkg is already installed on this machine; remove it first (or set LUMORA_SKIP_PACKAGE=1)"
fi

missing=()
for p in lintian dpkg-dev file sqlite3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "package stage: installing ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    { apt-get update -qq >/dev/null
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }
fi

begin "build the package"
LUMORA_BUILD_DIR="$build" bash scripts/package.sh >/dev/null 2>&1 || fail "scripts/package.sh"
deb=$(ls "$build"/package/${pkg}_*.deb)
arch=$(dpkg --print-architecture)
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "${pkg}_${version}_${arch}.deb" ] || fail "unexpected file name $(basename "$deb")"

begin "file list and dependencies"
expected="./opt/lumora-index-manager/IndexConfiguration.xml -> /etc/lumora-index-manager/IndexConfiguration.xml
./opt/lumora-index-manager/TessalyIndexManager
./opt/lumora-index-manager/indexlog.dat -> /var/log/lumora-index-manager/indexlog.dat
./usr/bin/TessalyIndexManager -> /opt/lumora-index-manager/TessalyIndexManager
./usr/lib/lumora-index-manager/lumora_snowball.so
./usr/lib/systemd/system/lumora-index@.service
./usr/lib/systemd/system/lumora-index@.timer
./usr/share/doc/lumora-index-manager/README.md
./usr/share/doc/lumora-index-manager/changelog.gz
./usr/share/doc/lumora-index-manager/copyright
./usr/share/doc/lumora-index-manager/example-data.sql
./usr/share/doc/lumora-index-manager/schema-postgresql.sql
./usr/share/doc/lumora-index-manager/schema-sqlite.sql
./usr/share/lintian/overrides/lumora-index-manager
./usr/share/lumora-index-manager/IndexConfiguration.xml
./usr/share/lumora-index-manager/example-app.db
./usr/share/man/man1/TessalyIndexManager.1.gz"
actual=$(dpkg-deb -c "$deb" | grep -v '^d' | awk '{ $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }' | sort)
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  fail "the file list differs from the expected one"
fi
for dependency in rsync openssh-client libqt6core6 libqt6sql6-sqlite libstemmer0d; do
  dpkg-deb -f "$deb" Depends | grep -q "$dependency" || fail "no dependency on $dependency"
done
# Every build writes into the configuration: the package must not own it.
if dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -q conffiles; then
  fail "the package declares conffiles: $(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)"
fi

begin "lintian"
# No error, and no warning without an override that says why.
lintian --fail-on error,warning "$deb" >&2 || fail "lintian reports errors or unexplained warnings"

work=$(mktemp -d /tmp/lumora-package.XXXXXX)
# A purge keeps the service user; what this stage created, it removes.
had_user=0
getent passwd lumora-index >/dev/null && had_user=1
had_pull_user=0
getent passwd lumora-index-pull >/dev/null && had_pull_user=1
cleanup() {
  dpkg --purge "$pkg" lumora-index-pull >/dev/null 2>&1 || true
  if [ $had_pull_user -eq 0 ] && getent passwd lumora-index-pull >/dev/null; then
    deluser --system --quiet lumora-index-pull >/dev/null 2>&1 || true
    getent group lumora-index-pull >/dev/null && { delgroup --system --quiet lumora-index-pull >/dev/null 2>&1 || true; }
  fi
  if [ $had_user -eq 0 ] && getent passwd lumora-index >/dev/null; then
    deluser --system --quiet lumora-index >/dev/null 2>&1 || true
    getent group lumora-index >/dev/null && { delgroup --system --quiet lumora-index >/dev/null 2>&1 || true; }
  fi
  rm -rf "$work" /var/lib/lumora-index-manager /var/log/lumora-index-manager /etc/lumora-index-manager
}
trap cleanup EXIT
etc=/etc/lumora-index-manager
conf=$etc/IndexConfiguration.xml
opt=/opt/lumora-index-manager
state=/var/lib/lumora-index-manager

# The unit's command, as the service user, without a display; its output in $work/run.log.
run_unit_command() {
  runuser -u lumora-index -- env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
    ZARVIK_EVENT_LOG="$work/events.jsonl" sh -c "cd $state && exec \"\$@\"" run "$@" \
    >"$work/run.log" 2>&1 </dev/null
}
expect_run_ok() {
  local status=0
  run_unit_command "$@" || status=$?
  [ $status -eq 0 ] || { cat "$work/run.log" "$work/events.jsonl" >&2 2>/dev/null; fail "$* exited with $status"; }
}

begin "fresh install"
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$work/install.log" 2>&1 </dev/null ||
  { cat "$work/install.log" >&2; fail "dpkg -i"; }
# The service user writes its event log here.
chown lumora-index: "$work" && chmod 0755 "$work"
[ "$(readlink $opt/IndexConfiguration.xml)" = $conf ] || fail "the configuration beside the program is no link to $conf"
[ "$(stat -c '%U %a' $conf)" = "lumora-index 640" ] || fail "the configuration is $(stat -c '%U %a' $conf), not lumora-index 640"
cmp -s $conf /usr/share/$pkg/IndexConfiguration.xml || fail "the configuration is not the example"
[ "$(stat -c %U $etc)" = lumora-index ] || fail "the configuration folder is not the service user's"
set +e
usage=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TessalyIndexManager /help 2>&1 >/dev/null)
status=$?
set -e
[ $status -eq 1 ] && echo "$usage" | grep -q '^Usage:' || fail "TessalyIndexManager /help from PATH: exit $status, $usage"

begin "fresh install: the shipped example builds as the unit runs it"
expect_run_ok $opt/TessalyIndexManager /auto /log /index catalog
grep -q "<NumDocuments>5</NumDocuments>" $conf || fail "the build did not write its results: $(cat $conf)"
[ -L $opt/IndexConfiguration.xml ] || fail "the build replaced the configuration link by a file"
[ "$(sqlite3 $state/example/app.db 'SELECT COUNT(*) FROM USERNODE')" -gt 0 ] || fail "no USERNODE rows"
grep -q $'\tcatalog\tfinished\t' /var/log/$pkg/indexlog.dat || fail "/log wrote nothing to /var/log/$pkg/indexlog.dat"
[ ! -s "$work/events.jsonl" ] || fail "the example's run logged: $(cat "$work/events.jsonl")"
prom=$state/metrics/lumora_index_catalog.prom
grep -q '^lumora_index_last_run_success{index="catalog"} 1$' $prom || fail "metrics: the run is not a success"
promtool="${LUMORA_PROMTOOL:-$root/.deps/prometheus/usr/bin/promtool}"
if [ -x "$promtool" ]; then
  "$promtool" check metrics < $prom || fail "promtool rejects the metrics file"
fi
if command -v systemd-analyze >/dev/null; then
  man_check=()
  command -v man >/dev/null || man_check=(--man=no)
  systemd-analyze verify "${man_check[@]}" /usr/lib/systemd/system/lumora-index@.service \
    /usr/lib/systemd/system/lumora-index@.timer || fail "systemd-analyze verify"
fi

begin "fresh install: purge removes every folder of the package"
dpkg --purge "$pkg" >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "dpkg --purge"; }
for folder in $etc $state /var/log/$pkg; do
  [ ! -e $folder ] || fail "dpkg --purge left $folder"
done

begin "old version: install 1.0.0, which declares the configuration a conffile"
old=$work/old
mkdir -p $old/DEBIAN $old/etc/$pkg $old$opt
cat > $old/DEBIAN/control <<CONTROL
Package: $pkg
Version: 1.0.0
Architecture: $arch
Maintainer: Lumora Index Manager developers <maintainers@lumora-index-manager.org>
Depends: adduser
Description: the 1.0.0 package as far as an upgrade sees it
 The program, its configuration as a conffile, the link beside the program.
CONTROL
echo "$conf" > $old/DEBIAN/conffiles
cat > $old/DEBIAN/postinst <<'POSTINST'
#!/bin/sh
set -e
if [ "$1" = "configure" ]; then
    getent passwd lumora-index >/dev/null ||
        adduser --system --group --quiet --home /var/lib/lumora-index-manager lumora-index
    install -d -o lumora-index -g lumora-index -m 0750 /var/lib/lumora-index-manager
    chown lumora-index:lumora-index /etc/lumora-index-manager /etc/lumora-index-manager/IndexConfiguration.xml
fi
POSTINST
chmod 0755 $old/DEBIAN/postinst
cp "$build/app/TessalyIndexManager" $old$opt/TessalyIndexManager
ln -s $conf $old$opt/IndexConfiguration.xml
printf '<?xml version="1.0" encoding="UTF-8"?>\n<IndexConfiguration>\n</IndexConfiguration>\n' > $old$conf
dpkg-deb --root-owner-group -b $old "$work/old.deb" >/dev/null
DEBIAN_FRONTEND=noninteractive dpkg -i "$work/old.deb" >"$work/install.log" 2>&1 </dev/null ||
  { cat "$work/install.log" >&2; fail "dpkg -i of 1.0.0"; }
dpkg-query -W -f='${Conffiles}' $pkg | grep -q "$conf" || fail "1.0.0 did not declare the conffile"

begin "old version: a build as the service user through the /opt link"
mkdir -p "$work/data"
cp "$build/packaging/example-app.db" "$work/data/app.db"
chown -R lumora-index: "$work/data"
cat > $conf <<XML
<?xml version="1.0" encoding="UTF-8"?>
<!-- the administrator's own file -->
<IndexConfiguration>
  <Index name="catalog" display="Catalog">
    <IndexPath>$work/data/index</IndexPath>
    <DbDataSources>
      <DataSource name="Primary">Provider=SQLite;Database=$work/data/app.db</DataSource>
      <DataSource name="RAdozudo">Provider=SQLite;Database=$work/data/app.db</DataSource>
    </DbDataSources>
    <IndexSetting1>SELECT DOCID, TITLE, BODY FROM DOCUMENT</IndexSetting1>
    <Propagations>
      <Target>store:$work/store</Target>
    </Propagations>
    <LastBuilt></LastBuilt>
    <NumDocuments></NumDocuments>
  </Index>
</IndexConfiguration>
XML
expect_run_ok $opt/TessalyIndexManager /auto /index catalog
grep -q "<NumDocuments>5</NumDocuments>" $conf || fail "the build did not write its results through the link"
before=$(sha256sum < $conf)

begin "upgrade: no question, the file byte for byte the same"
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$work/upgrade.log" 2>&1 <&- ||
  { cat "$work/upgrade.log" >&2; fail "dpkg -i of $version over 1.0.0"; }
grep -qi 'conffile\|configuration file' "$work/upgrade.log" && { cat "$work/upgrade.log" >&2; fail "dpkg spoke of the configuration"; }
[ "$(sha256sum < $conf)" = "$before" ] || { diff <(echo) $conf >&2 || true; fail "the configuration changed"; }
[ -z "$(dpkg-query -W -f='${Conffiles}' $pkg)" ] || fail "still a conffile: $(dpkg-query -W -f='${Conffiles}' $pkg)"
[ "$(stat -c '%U %a' $conf)" = "lumora-index 640" ] || fail "the kept configuration is $(stat -c '%U %a' $conf)"
ls -A $etc | grep -qv '^IndexConfiguration.xml$' && fail "left beside the configuration: $(ls -A $etc)"
[ ! -e $state/example ] || fail "the upgrade installed the example database beside the administrator's own"
expect_run_ok $opt/TessalyIndexManager /auto /index catalog
after_build=$(sha256sum < $conf)

begin "remove: the configuration stays"
dpkg -r "$pkg" >"$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; fail "dpkg -r"; }
[ ! -e $opt/TessalyIndexManager ] || fail "dpkg -r left the program"
[ "$(sha256sum < $conf)" = "$after_build" ] || fail "dpkg -r changed or removed the configuration"

begin "purge: the configuration and the indexes go"
dpkg --purge "$pkg" >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "dpkg --purge"; }
for folder in $etc $state; do
  [ ! -e $folder ] || fail "dpkg --purge left $folder"
done
dpkg-query -W "$pkg" >/dev/null 2>&1 && fail "dpkg still knows $pkg"

begin "readers' package: installs alone, without Qt Widgets, X or a database client"
pulldeb=$(ls "$build"/package/lumora-index-pull_*.deb)
depends=$(dpkg-deb -f "$pulldeb" Depends)
echo "$depends" | grep -Eq 'widgets|libqt6gui|libx11|libxcb|libgl|libpq|odbc|mysql|mariadb|postgresql' &&
  fail "lumora-index-pull depends on $depends"
echo "$depends" | grep -q rclone || fail "lumora-index-pull does not depend on rclone"
lintian --fail-on error,warning "$pulldeb" >&2 || fail "lintian reports errors or unexplained warnings"
DEBIAN_FRONTEND=noninteractive dpkg -i "$pulldeb" >"$work/install.log" 2>&1 </dev/null ||
  { cat "$work/install.log" >&2; fail "dpkg -i lumora-index-pull"; }

begin "readers' package: the agent pulls the published index as its service user"
reader=/var/lib/lumora-index-pull/catalog
install -d -o lumora-index-pull -g lumora-index-pull "$reader"
runuser -u lumora-index-pull -- lumora-index-pull "store:$work/store" "$reader" \
  --metrics /var/lib/lumora-index-pull/catalog.prom >"$work/pull.log" 2>&1 </dev/null ||
  { cat "$work/pull.log" >&2; fail "lumora-index-pull as lumora-index-pull"; }
cmp -s "$work/data/index/index.db" "$reader/index.db" || fail "the pulled index is not the one built"
grep -q '^lumora_index_pull_success{folder="'"$reader"'"} 1$' /var/lib/lumora-index-pull/catalog.prom ||
  fail "metrics: the pull is not a success"
# The readers' copy of the extension loads in the sqlite3 shell and answers lumora_match.
[ -f /usr/lib/lumora-index-pull/lumora_snowball.so ] || fail "lumora-index-pull lacks lumora_snowball.so"
sqlite3 -readonly -cmd '.load /usr/lib/lumora-index-pull/lumora_snowball' "$reader/index.db" \
  "SELECT lumora_match('ocea')" 2>&1 | grep -qxF '("ocea" OR "ocea" OR "ocea" OR "ocea"*)' ||
  fail "lumora_snowball.so of lumora-index-pull does not load"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "${man_check[@]}" /usr/lib/systemd/system/lumora-index-pull@.service \
    /usr/lib/systemd/system/lumora-index-pull@.timer || fail "systemd-analyze verify of the readers' units"
fi

begin "readers' package: purge removes its folders"
dpkg --purge lumora-index-pull >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "dpkg --purge lumora-index-pull"; }
for folder in /etc/lumora-index-pull /var/lib/lumora-index-pull; do
  [ ! -e $folder ] || fail "dpkg --purge left $folder"
done
echo "package stage: passed" >&2
