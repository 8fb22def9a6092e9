#!/bin/bash
# Starts or stops the servers of the store tests on loopback, with a fresh data folder:
# an S3 server (Ceph's RADOS Gateway over one monitor and one OSD, bluestore on a
# sparse file) and nginx serving FOLDER/www, where the tests put local store folders.
#   storeservers.sh start FOLDER   prints the environment to export (LUMORA_TEST_S3=...)
#   storeservers.sh stop FOLDER
# Ports stay below 32768, outside the ephemeral range: LUMORA_S3_PORT (default 17480),
# nginx on LUMORA_S3_PORT + 1, the monitor on LUMORA_S3_PORT - 1000.
set -euo pipefail
action=${1:?start or stop}
dir=${2:?data folder}
port=${LUMORA_S3_PORT:-17480}
mon_port=$((port - 1000))
conf=$dir/ceph.conf

stop() {
  for p in nginx radosgw osd mon; do
    if [ -f "$dir/$p.pid" ]; then kill "$(cat "$dir/$p.pid")" 2>/dev/null || true; fi
  done
  for p in nginx radosgw osd mon; do
    if [ -f "$dir/$p.pid" ]; then
      pid=$(cat "$dir/$p.pid")
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
      rm -f "$dir/$p.pid"
    fi
  done
}

if [ "$action" = stop ]; then stop; rm -rf "$dir"; exit 0; fi

rm -rf "$dir"
mkdir -p "$dir/mon" "$dir/osd0" "$dir/run" "$dir/log" "$dir/www"
chmod 755 "$dir" "$dir/www"
cat >"$dir/nginx.conf" <<CONF
pid $dir/nginx.pid;
error_log $dir/log/nginx.log;
events {}
http {
  access_log off;
  client_body_temp_path $dir/run;
  proxy_temp_path $dir/run;
  fastcgi_temp_path $dir/run;
  uwsgi_temp_path $dir/run;
  scgi_temp_path $dir/run;
  server {
    listen 127.0.0.1:$((port + 1));
    root $dir/www;
  }
}
CONF
nginx -c "$dir/nginx.conf" -e "$dir/log/nginx.log"
fsid=$(cat /proc/sys/kernel/random/uuid)
access=test$(head -c 6 /dev/urandom | od -An -tx1 | tr -d ' \n')
secret=$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')
cat >"$conf" <<CONF
[global]
fsid = $fsid
mon host = v1:127.0.0.1:$mon_port
mon initial members = a
auth cluster required = none
auth service required = none
auth client required = none
ms bind msgr2 = false
run dir = $dir/run
log file = $dir/log/\$name.log
admin socket = $dir/run/\$name.asok
osd pool default size = 1
osd pool default min size = 1
mon allow pool size one = true
osd crush chooseleaf type = 0
mon warn on pool no redundancy = false
paxos propose interval = 0.05
osd objectstore = bluestore
# The device class is of no use here, and setting it at start is refused now and then.
osd class update on start = false
bluestore block path = $dir/block
bluestore block create = true
bluestore block size = 21474836480
bluestore fsck on mkfs = false
osd data = $dir/osd0
mon data = $dir/mon
rgw gc obj min wait = 60
rgw gc processor period = 60
rgw frontends = beast endpoint=127.0.0.1:$port
rgw dns name = 127.0.0.1
CONF

monmaptool --create --addv a "[v1:127.0.0.1:$mon_port]" --fsid "$fsid" "$dir/monmap" >/dev/null
ceph-mon -c "$conf" --mkfs -i a --monmap "$dir/monmap" --keyring /dev/null
ceph-mon -c "$conf" -i a --pid-file "$dir/mon.pid"
osd_uuid=$(cat /proc/sys/kernel/random/uuid)
# The monitor may still be settling: each step is tried again after a second.
for attempt in 1 2 3; do
  ceph -c "$conf" --connect-timeout 20 osd new "$osd_uuid" >/dev/null 2>>"$dir/log/start.log" &&
    ceph-osd -c "$conf" -i 0 --mkfs --osd-uuid "$osd_uuid" >>"$dir/log/start.log" 2>&1 && break
  [ $attempt -lt 3 ] || { cat "$dir/log/start.log" >&2; exit 1; }
  sleep 1
done
for attempt in 1 2 3; do
  ceph-osd -c "$conf" -i 0 --pid-file "$dir/osd.pid" 2>>"$dir/log/start.log" && break
  [ $attempt -lt 3 ] || { cat "$dir/log/start.log" >&2; exit 1; }
  sleep 1
done
for _ in $(seq 300); do
  ceph -c "$conf" osd stat 2>/dev/null | grep -q "1 up" && break
  sleep 0.1
done
timeout 60 radosgw-admin -c "$conf" user create --uid=lumora --display-name=lumora \
  --access-key="$access" --secret="$secret" >/dev/null
radosgw -c "$conf" -n client.rgw --pid-file "$dir/radosgw.pid"
for _ in $(seq 300); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.1
done
echo "LUMORA_TEST_S3=http://127.0.0.1:$port LUMORA_TEST_S3_KEY=$access LUMORA_TEST_S3_SECRET=$secret" \
  "LUMORA_TEST_HTTP=http://127.0.0.1:$((port + 1)) LUMORA_TEST_HTTP_ROOT=$dir/www"
