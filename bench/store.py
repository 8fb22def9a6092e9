"""Publishing to a store and pulling from it, against pushing to every reader, on GCIDE
from SQLite.

Run by `bench/run --only store`. Every figure is a measurement; nothing here fails on a
timing. The S3 server is the one of scripts/storeservers.sh (Ceph's RADOS Gateway on
loopback) behind an nginx that only forwards and logs every request (method, object,
status, body bytes each way), so that bytes and GETs are counted on the wire, not by the
program about itself. The build is a whole `/auto` run in the mode `changes` with a store
target `store:lumoras3:...`; readers run `lumora-index-pull` over http:// (and once
through rclone) into folders of their own.

- bytes uploaded per publish after a 1 % change and after a `full` build, against the
  index file;
- bytes a reader fetches from the previous version to the new one, against what rsync
  sends with the options of an ssh target (delta, block size of a page) to turn the
  previous file into the new one;
- a pull that finds nothing new: its GETs and its time, against the agent's start alone;
- 20 readers pulling one publish at once, against a build that pushes to 20 ssh targets
  (a throwaway sshd on 127.0.0.1, the program's own ssh propagation);
- readers 5 versions behind: the bytes fetched and the way taken, against the other way;
- 12 consecutive 1 % publishes: each publish's time against the same run's build of the
  changes (both from the program's metrics file), which of them uploaded a whole file and
  why, and the requests of a reader that pulls each version through rclone.
"""
import glob
import hashlib
import os
import re
import shutil
import sqlite3
import statistics
import subprocess
import time

import changes

READERS = 20
SERIES = 12      # consecutive 1 % publishes in a row
FULL_EVERY = 10  # the default <FullEvery>, which the bench's configuration keeps
# A store object's name, "00000007.pack.zst" or "00000007-<SHA-256>.pack.zst".
OBJECT = re.compile(r"/(([0-9]{8})(?:-[0-9a-f]{64})?\.(manifest|whole\.zst|pack\.zst))$")


def object_of(uri):
    """(name, version, kind) of a store object's URI or name, or None."""
    hit = OBJECT.search("/" + uri.rsplit("/", 1)[-1])
    return (hit.group(1), int(hit.group(2)), hit.group(3)) if hit else None


def short(name):
    """An object's name without its hash, for the tables."""
    _, version, kind = object_of(name)
    return "%08d.%s" % (version, kind)


def median(values):
    return statistics.median(values)


class Proxy:
    """nginx in front of the S3 server, logging each request as
    METHOD URI STATUS REQUEST_BODY_BYTES RESPONSE_BODY_BYTES."""

    def __init__(self, folder, port, upstream):
        self.dir = folder
        os.makedirs(os.path.join(folder, "run"), exist_ok=True)
        self.log = os.path.join(folder, "access.log")
        self.url = "http://127.0.0.1:%d" % port
        with open(os.path.join(folder, "nginx.conf"), "w") as f:
            f.write("""pid %(d)s/nginx.pid;
error_log %(d)s/error.log;
events {}
http {
  log_format bench '$request_method $uri $status $content_length $body_bytes_sent';
  access_log %(d)s/access.log bench;
  client_body_temp_path %(d)s/run;
  proxy_temp_path %(d)s/run;
  client_max_body_size 0;
  server {
    listen 127.0.0.1:%(port)d;
    location / {
      proxy_pass %(up)s;
      proxy_set_header Host $http_host;
      proxy_http_version 1.1;
      proxy_request_buffering off;
      proxy_buffering off;
    }
  }
}
""" % {"d": folder, "port": port, "up": upstream})
        subprocess.run(["nginx", "-c", os.path.join(folder, "nginx.conf"), "-e", os.path.join(folder, "error.log")],
                       check=True)
        open(self.log, "a").close()

    def settled(self):
        """The log's size once it has not grown for 0.2 s: nginx logs a request after its
        response went out, which a client may have read and exited on before."""
        size = os.path.getsize(self.log)
        while True:
            time.sleep(0.2)
            now = os.path.getsize(self.log)
            if now == size:
                return size
            size = now

    def mark(self):
        return self.settled()

    def since(self, mark):
        """The requests logged since `mark`: (method, uri, status, bytes in, bytes out)."""
        self.settled()
        with open(self.log) as f:
            f.seek(mark)
            rows = []
            for line in f.read().splitlines():
                m, uri, status, length, sent = line.split(" ")
                rows.append((m, uri, int(status), int(length) if length != "-" else 0, int(sent)))
        return rows

    def stop(self):
        pid = os.path.join(self.dir, "nginx.pid")
        if os.path.exists(pid):
            with open(pid) as f:
                subprocess.run(["kill", f.read().strip()])


def uploaded(rows):
    return sum(r[3] for r in rows if r[0] == "PUT")


def fetched(rows):
    return sum(r[4] for r in rows if r[0] == "GET")


def changed_pages(old, new):
    """(pages of `new` that differ from `old`, pages of `new`), by the page size in new's header."""
    with open(old, "rb") as a, open(new, "rb") as b:
        b.seek(16)
        size = int.from_bytes(b.read(2), "big") or 65536
        size = 65536 if size == 1 else size
        b.seek(0)
        count = total = 0
        while True:
            page = b.read(size)
            if not page:
                return count, total
            count += page != a.read(size)
            total += 1


def since_optimize(index):
    """The documents changed since the index's last FTS5 optimize, as index_info has it."""
    con = sqlite3.connect("file:%s?mode=ro" % index, uri=True)
    try:
        row = con.execute("SELECT value FROM index_info WHERE name = 'changed_since_optimize'").fetchone()
        return int(row[0]) if row else None
    finally:
        con.close()


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class StoreBench:
    def __init__(self, bench, docs, write_config, measure_ok, log, ssh_server, runs):
        self.bench, self.docs, self.measure_ok, self.log, self.runs = bench, docs, measure_ok, log, runs
        self.write_config, self.ssh_server = write_config, ssh_server
        self.work = os.path.join(bench.work, "store")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.db = os.path.join(self.work, "documents.db")
        shutil.copyfile(docs["sqlite"], self.db)
        self.rng = changes.random.Random(20261210)
        self.pull_tool = os.path.join(bench.build, "src", "pull", "lumora-index-pull")
        self.objects = {}  # object name -> bytes uploaded, from the PUTs of the log
        self.servers = os.path.join(self.work, "servers")
        self.version, self.held1, self.held2 = 0, None, None

    # --- servers -----------------------------------------------------------------
    def start(self):
        port = int(os.environ.get("LUMORA_BENCH_S3_PORT", "19480"))
        out = subprocess.run(["bash", os.path.join(os.path.dirname(__file__), "..", "scripts", "storeservers.sh"),
                              "start", self.servers], env=dict(os.environ, LUMORA_S3_PORT=str(port)),
                             capture_output=True, text=True, check=True).stdout
        found = dict(word.split("=", 1) for word in out.split())
        self.proxy = Proxy(os.path.join(self.work, "proxy"), port + 2, found["LUMORA_TEST_S3"])
        self.env = dict(self.bench.env)
        self.env.pop("AWS_CA_BUNDLE", None)
        self.env.update(RCLONE_CONFIG_LUMORAS3_TYPE="s3", RCLONE_CONFIG_LUMORAS3_PROVIDER="Ceph",
                        RCLONE_CONFIG_LUMORAS3_ENDPOINT=self.proxy.url,
                        RCLONE_CONFIG_LUMORAS3_ACCESS_KEY_ID=found["LUMORA_TEST_S3_KEY"],
                        RCLONE_CONFIG_LUMORAS3_SECRET_ACCESS_KEY=found["LUMORA_TEST_S3_SECRET"],
                        RCLONE_CONFIG_LUMORAS3_ACL="public-read")
        subprocess.run(["rclone", "mkdir", "lumoras3:lumora-bench"], env=self.env, check=True, capture_output=True)
        self.store = "lumoras3:lumora-bench/gcide"
        self.http = self.proxy.url + "/lumora-bench/gcide"
        self.sshd = self.ssh_server(self.work)

    def stop(self):
        for what in ("proxy", "sshd"):
            if hasattr(self, what):
                getattr(self, what).stop()
        subprocess.run(["bash", os.path.join(os.path.dirname(__file__), "..", "scripts", "storeservers.sh"),
                        "stop", self.servers], capture_output=True)

    # --- the two build machines ---------------------------------------------------
    def app(self, name, targets):
        folder = os.path.join(self.work, "app-" + name)
        os.makedirs(os.path.join(folder, "metrics"))
        shutil.copy2(self.bench.program, os.path.join(folder, "TessalyIndexManager"))
        self.write_config(folder, "gcide", "Provider=SQLite;Database=" + self.db)
        path = os.path.join(folder, "IndexConfiguration.xml")
        with open(path) as f:
            text = f.read()
        extra = "<BuildMode>changes</BuildMode>\n    <Propagations>%s</Propagations>" % "".join(
            "<Target>%s</Target>" % t for t in targets)
        text = text.replace("</NumDocuments>", "</NumDocuments>\n    " + extra)
        text = text.replace("</IndexConfiguration>", "  <MetricsDirectory>%s/metrics</MetricsDirectory>\n"
                            "</IndexConfiguration>" % folder)
        with open(path, "w") as f:
            f.write(text)
        return folder

    def set_mode(self, folder, mode):
        path = os.path.join(folder, "IndexConfiguration.xml")
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(re.sub("<BuildMode>[a-z]+</BuildMode>", "<BuildMode>%s</BuildMode>" % mode, text))

    def build(self, folder, env=None):
        """A whole `/auto` run: its seconds, and the requests it made of the store."""
        mark = self.proxy.mark()
        wall, _, _, _ = self.measure_ok(["nice", "-n", "10", os.path.join(folder, "TessalyIndexManager"), "/auto",
                                         "/index", "gcide"], cwd=folder, env=env or self.env)
        rows = self.proxy.since(mark)
        for m, uri, status, length, _ in rows:
            hit = object_of(uri)
            if m == "PUT" and hit:
                self.objects[hit[0]] = length
        return wall, rows

    def index(self, folder, name="index.db"):
        return os.path.join(folder, "indexes", "gcide", name)

    def gauges(self, folder):
        """The unlabelled-by-target gauges of the last run's metrics file, by name."""
        found = {}
        for prom in glob.glob(os.path.join(folder, "metrics", "*.prom")):
            with open(prom) as f:
                for line in f:
                    if not line.startswith("#") and " " in line:
                        name, value = line.rsplit(" ", 1)
                        found.setdefault(name.split("{", 1)[0], float(value))
        return found

    def pushed_bytes(self, folder):
        """The bytes the last run of `folder` sent to its targets, by its metrics file."""
        total = 0
        for prom in glob.glob(os.path.join(folder, "metrics", "*.prom")):
            with open(prom) as f:
                for line in f:
                    if line.startswith("lumora_index_target_bytes_sent{"):
                        total += int(float(line.rsplit(" ", 1)[1]))
        return total

    # --- readers --------------------------------------------------------------------
    def reader(self, name):
        return os.path.join(self.work, "readers", name)

    def pull(self, name, source=None):
        folder = self.reader(name)
        os.makedirs(folder, exist_ok=True)
        mark = self.proxy.mark()
        start = time.monotonic()
        subprocess.run(["nice", "-n", "10", self.pull_tool, source or self.http, folder], env=self.env, check=True,
                       capture_output=True)
        return time.monotonic() - start, self.proxy.since(mark)

    def pull_many(self, names):
        """Agents started at once, one per folder: their wall time and requests."""
        mark = self.proxy.mark()
        start = time.monotonic()
        procs = []
        for name in names:
            os.makedirs(self.reader(name), exist_ok=True)
            procs.append(subprocess.Popen(["nice", "-n", "10", self.pull_tool, self.http, self.reader(name)],
                                          env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
        failed = [p.stderr.read().decode() for p in procs if p.wait() != 0]
        wall = time.monotonic() - start
        if failed:
            raise RuntimeError("pulls failed:\n" + "\n".join(failed))
        return wall, self.proxy.since(mark)

    def start_seconds(self):
        samples = []
        for _ in range(10):
            start = time.monotonic()
            subprocess.run([self.pull_tool, "--help"], capture_output=True, check=True)
            samples.append(time.monotonic() - start)
        return median(samples)

    # --- the ways a reader behind may take ----------------------------------------------
    def data_object(self, v):
        """The kind and bytes of the data object uploaded for version v."""
        for name, size in self.objects.items():
            _, version, kind = object_of(name)
            if version == v and kind != "manifest":
                return kind, size
        raise RuntimeError("no data object of version %d was uploaded" % v)

    def ways(self, held, current):
        """Bytes of the data objects of the packs from `held` on, when no whole file lies
        between (None otherwise), and of the newest whole file and the packs after it."""
        kinds = {v: self.data_object(v) for v in range(1, current + 1)}
        chain = [kinds[v] for v in range(held + 1, current + 1)]
        packs = None if any(k == "whole.zst" for k, _ in chain) else sum(b for _, b in chain)
        whole = max(v for v in kinds if kinds[v][0] == "whole.zst")
        return packs, whole, sum(kinds[v][1] for v in range(whole, current + 1))

    def behind(self, name, held, current, index):
        seconds, rows = self.pull(name)
        if sha256(os.path.join(self.reader(name), "index.db")) != sha256(index):
            raise RuntimeError("%s does not hold the build's file" % name)
        got = sorted(object_of(r[1])[0] for r in rows
                     if r[0] == "GET" and object_of(r[1]) and object_of(r[1])[2] != "manifest")
        packs, whole, whole_bytes = self.ways(held, current)
        took_whole = any(g.endswith("whole.zst") for g in got)
        cheaper = min(b for b in (packs, whole_bytes) if b is not None)
        data_bytes = sum(self.objects[g] for g in got)
        return {"held": held, "current": current, "fetched": fetched(rows), "data_objects": got,
                "data_bytes": data_bytes, "packs_bytes": packs, "newest_whole": whole,
                "whole_and_packs_bytes": whole_bytes, "took": "whole file and packs" if took_whole else "packs",
                "chose_cheaper": data_bytes == cheaper, "seconds": seconds,
                "index_bytes": os.path.getsize(os.path.join(self.reader(name), "index.db"))}

    # --- the run ----------------------------------------------------------------------------
    def measure(self):
        self.start()
        try:
            return self.phases()
        finally:
            self.stop()

    def changed(self):
        changes.mutate(self.db, 1.0, self.rng)

    def publish(self):
        """A 1 % change built and published by the store's build machine."""
        self.changed()
        wall, rows = self.build(self.store_app)
        self.version += 1
        return wall, rows

    def catch_up(self, until):
        while self.version < until:
            self.publish()

    def phases(self):
        self.store_app = self.app("store", ["store:" + self.store])
        self.far = os.path.join(self.work, "far")
        self.push_app = self.app("push", ["ssh://%s@127.0.0.1:%d%s/web%d" % (self.sshd.user, self.sshd.port, self.far, i)
                                          for i in range(READERS)])
        self.push_env = dict(self.env, ZARVIK_SSH_CONFIG=self.sshd.config)
        r = {"documents": self.docs["documents"], "runs": self.runs, "readers": READERS}
        loads = [os.getloadavg()]
        self.log("store: first build and publish")
        self.build(self.store_app)
        self.version = 1
        self.pull("follower")
        self.pull("rclone-follower", self.store)
        r["agent_start_seconds"] = self.start_seconds()
        self.log("store: %d consecutive 1 %% changes, published and pulled by two readers" % SERIES)
        r["changes"] = [self.one_change(hold=i == SERIES - 1) for i in range(SERIES)]
        loads.append(os.getloadavg())
        self.log("store: full builds after 1 % changes")
        self.set_mode(self.store_app, "full")
        r["full"] = [self.one_full() for _ in range(self.runs)]
        self.catch_up(self.held1 + 5)
        self.set_mode(self.store_app, "changes")
        loads.append(os.getloadavg())
        self.log("store: a reader 5 versions behind, across a whole file")
        r["behind"] = [self.behind("laggard1", self.held1, self.version, self.index(self.store_app))]
        self.log("store: %d readers at once against %d ssh targets" % (READERS, READERS))
        r["many"] = self.many()
        loads.append(os.getloadavg())
        self.log("store: a reader 5 versions behind, over packs only")
        self.catch_up(self.held2 + 5)
        r["behind"].append(self.behind("laggard2", self.held2, self.version, self.index(self.store_app)))
        r["objects"] = self.objects
        loads.append(os.getloadavg())
        r["load_average"] = loads
        return summarise(r)

    def one_change(self, hold):
        """A 1 % change published, pulled by the follower over http:// and by another
        through rclone, then pulled again with nothing new; `hold`: a laggard takes it."""
        index = self.index(self.store_app)
        published = sha256(index)
        changed_before = since_optimize(index)
        wall, rows = self.publish()
        changed_after = since_optimize(index)
        optimized = None not in (changed_before, changed_after) and changed_after < changed_before
        g = self.gauges(self.store_app)
        load = os.getloadavg()[0]
        whole = any(object_of(u[1]) and object_of(u[1])[2] == "whole.zst" for u in rows if u[0] == "PUT")
        if whole != bool(g["lumora_index_store_published_whole"]):
            raise RuntimeError("the metrics file and the store disagree on the whole file of %d" % self.version)
        previous = self.index(self.store_app, "index.previous.db")
        packs_before = 0
        while self.data_object(self.version - 1 - packs_before)[0] == "pack.zst":
            packs_before += 1
        pages, total = changed_pages(previous, index)
        why = None
        if whole:
            # The publisher's rules, in its order: the chain's end, a base file that is
            # not the version `current` names, then a pack over half the last whole file.
            why = ("the chain's end (<FullEvery> %d)" % FULL_EVERY if packs_before + 1 >= FULL_EVERY
                   else "the previous file is not the published one" if sha256(previous) != published
                   else "the pack would be over half the last whole file (%d of %d pages changed%s)"
                   % (pages, total, ", the build ended with an FTS5 optimize" if optimized else ""))
        pulled_seconds, pulled = self.pull("follower")
        if sha256(os.path.join(self.reader("follower"), "index.db")) != sha256(index):
            raise RuntimeError("the follower does not hold the build's file")
        _, by_rclone = self.pull("rclone-follower", self.store)
        if sha256(os.path.join(self.reader("rclone-follower"), "index.db")) != sha256(index):
            raise RuntimeError("the reader through rclone does not hold the build's file")
        quiet = [self.pull("follower") for _ in range(3)]
        quiet_rclone = self.pull("follower", self.store)
        if hold:
            self.pull("laggard1")
            self.held1 = self.version
        x = {"version": self.version, "seconds": wall, "uploaded": uploaded(rows),
             "build_seconds": g["lumora_index_build_seconds"],
             "publish_seconds": g["lumora_index_propagation_seconds"], "load": load,
             "changed_pages": pages, "applied_changes": g["lumora_index_build_applied_changes"],
             "optimized": optimized, "packs_before": packs_before, "why_whole": why,
             "rclone_pull_requests": [(m, short(u) if object_of(u) else u.rsplit("/", 1)[1])
                                      for m, u, *_ in by_rclone],
             "index_bytes": os.path.getsize(index), "fetched": fetched(pulled), "pull_seconds": pulled_seconds,
             "rsync_sent": changes.rsync_bytes(self.index(self.store_app, "index.previous.db"), index, self.work),
             "whole": whole,
             "quiet_seconds": [q[0] for q in quiet],
             "quiet_http_requests": [[(m, u.rsplit("/", 1)[1]) for m, u, *_ in q[1]] for q in quiet],
             "quiet_rclone_requests": [(m, u.rsplit("/", 1)[1]) for m, u, *_ in quiet_rclone[1]]}
        self.log("1 %%: v%d build %.2f s, publish %.2f s (%.2fx), uploaded %d%s, fetched %d, rsync %d of %d; "
                 "%d requests through rclone" % (
                     x["version"], x["build_seconds"], x["publish_seconds"],
                     x["publish_seconds"] / x["build_seconds"], x["uploaded"], " (whole: %s)" % why if whole else "",
                     x["fetched"], x["rsync_sent"], x["index_bytes"], len(x["rclone_pull_requests"])))
        return x

    def one_full(self):
        wall, rows = self.publish()
        x = {"version": self.version, "seconds": wall, "uploaded": uploaded(rows),
             "index_bytes": os.path.getsize(self.index(self.store_app)),
             "whole": any(object_of(u[1]) and object_of(u[1])[2] == "whole.zst" for u in rows if u[0] == "PUT")}
        self.log("full: uploaded %d of %d" % (x["uploaded"], x["index_bytes"]))
        return x

    def many(self):
        # The first changes build after full ones builds in full (no digests yet): not measured.
        self.publish()
        self.names = ["reader%02d" % i for i in range(READERS)]
        self.pull_many(self.names)
        for i in range(READERS):
            os.makedirs(os.path.join(self.far, "web%d" % i), exist_ok=True)
        self.build(self.push_app, self.push_env)  # the first push sends whole files: not measured
        return [self.one_many() for _ in range(self.runs)]

    def one_many(self):
        """A publish pulled by one reader, then one pulled by all, then the same change pushed."""
        one_wall, one_rows = self.publish()
        self.pull("follower")
        if self.held2 is None:
            self.pull("laggard2")
            self.held2 = self.version
        self.pull_many(self.names)  # the readers catch up: not measured
        self.build(self.push_app, self.push_env)  # its targets too one change behind: not measured
        wall, rows = self.publish()
        want = sha256(self.index(self.store_app))
        readers_seconds, pulled = self.pull_many(self.names)
        same = sum(sha256(os.path.join(self.reader(n), "index.db")) == want for n in self.names)
        push_wall, _ = self.build(self.push_app, self.push_env)
        x = {"version": self.version, "one_seconds": one_wall, "one_uploaded": uploaded(one_rows),
             "seconds": wall, "uploaded": uploaded(rows), "index_bytes": os.path.getsize(self.index(self.store_app)),
             "readers_seconds": readers_seconds, "readers_fetched": fetched(pulled), "readers_on_new_version": same,
             "readers_gets": sum(1 for p in pulled if p[0] == "GET"), "push_seconds": push_wall,
             "push_sent": self.pushed_bytes(self.push_app),
             "push_index_bytes": os.path.getsize(self.index(self.push_app))}
        self.log("1 reader: build %.2f s, %d bytes; 20 readers: build %.2f s, %d bytes; readers %.2f s, %d on "
                 "the new version; push %.2f s, %d bytes" % (one_wall, x["one_uploaded"], wall, x["uploaded"],
                                                              readers_seconds, same, push_wall, x["push_sent"]))
        return x

def summarise(r):
    s = {}
    c, f, m = r["changes"], r["full"], r["many"]
    s["changes_uploaded_ratio"] = median(x["uploaded"] / x["index_bytes"] for x in c)
    s["full_uploaded_ratio"] = median(x["uploaded"] / x["index_bytes"] for x in f)
    s["fetched_ratio"] = median(x["fetched"] / x["index_bytes"] for x in c)
    s["rsync_ratio"] = median(x["rsync_sent"] / x["index_bytes"] for x in c)
    s["changes_index_bytes"] = median(x["index_bytes"] for x in c)
    s["full_index_bytes"] = median(x["index_bytes"] for x in f)
    for key in ("uploaded", "fetched", "rsync_sent", "seconds", "pull_seconds"):
        s["changes_" + key] = median(x[key] for x in c)
    s["full_uploaded"] = median(x["uploaded"] for x in f)
    quiet = [q for x in c for q in x["quiet_seconds"]]
    s["quiet_seconds"] = median(quiet)
    s["quiet_http_gets"] = sorted({sum(1 for meth, _ in q if meth == "GET") for x in c for q in x["quiet_http_requests"]})
    s["quiet_http_requests"] = sorted({len(q) for x in c for q in x["quiet_http_requests"]})
    s["quiet_rclone_gets"] = sorted({sum(1 for meth, _ in x["quiet_rclone_requests"] if meth == "GET") for x in c})
    s["quiet_rclone_requests"] = sorted({len(x["quiet_rclone_requests"]) for x in c})
    for key in ("one_seconds", "one_uploaded", "seconds", "uploaded", "readers_seconds", "readers_fetched", "push_seconds", "push_sent",
                "readers_on_new_version"):
        s["many_" + key] = median(x[key] for x in m)
    s["all_readers_on_new_version"] = all(x["readers_on_new_version"] == r["readers"] for x in m)
    s["publish_ratios"] = [x["publish_seconds"] / x["build_seconds"] for x in c]
    for key in ("build_seconds", "publish_seconds"):
        s["series_" + key] = median(x[key] for x in c)
    s["publish_ratio"] = median(s["publish_ratios"])
    s["publish_ratio_packs"] = median(x["publish_seconds"] / x["build_seconds"] for x in c if not x["whole"])
    s["publish_ratios_within"] = sum(q <= 1.0 for q in s["publish_ratios"])
    s["wholes"] = ["v%d: %s" % (x["version"], x["why_whole"]) for x in c if x["whole"]]
    s["one_pack_rclone_requests"] = sorted(len(x["rclone_pull_requests"]) for x in c if not x["whole"])
    r["summary"] = s
    return r


def met(value, limit):
    return "met" if value <= limit else "**not met**"


def markdown(r):
    """The section of docs/benchmarks.md."""
    s = r["summary"]
    loads = ", ".join("%.1f" % l[0] for l in r["load_average"])
    b = r["behind"]
    lines = [
        "## Publishing to a store", "",
        "Measured by `bench/run --only store` (bench/store.py; results: `bench/results/store.json`) on all %d "
        "documents of GCIDE from SQLite, whole `/auto` runs in the mode `changes` with a store target on the S3 "
        "server of `scripts/storeservers.sh` (Ceph RADOS Gateway on loopback): %d consecutive 1 %% changes, each "
        "published, then pulled by one reader over http:// and by another through rclone; figures of 1 %% "
        "changes are medians of those %d, the others medians of %d. Bytes and requests are counted on the wire "
        "by an nginx in front of the S3 server (request and response bodies). The build's and the publish's "
        "seconds are the program's own (`lumora_index_build_seconds`, `lumora_index_propagation_seconds` of the "
        "run's metrics file; the store is the run's only target). Builds and agents ran under `nice -n 10`, syncing "
        "as the program does, on the machine's disk; the 1-minute load average at the phases' ends was %s (during the "
        "publishes %s) on 2 CPUs shared with other work. The index file is %.1f MB."
        % (r["documents"], len(r["changes"]), len(r["changes"]), r["runs"], loads,
           "%.1f-%.1f" % (min(x["load"] for x in r["changes"]), max(x["load"] for x in r["changes"])),
           s["changes_index_bytes"] / 1e6), "",
        "| Target | Figure | Ratio | Limit | |", "|---|---:|---:|---:|---|",
        "| Uploaded per publish after a 1 %% change | %.2f MB | %.3fx | 0.08x | %s |" % (
            s["changes_uploaded"] / 1e6, s["changes_uploaded_ratio"],
            met(s["changes_uploaded_ratio"], 0.08)),
        "| Publish after a 1 %% change against the same run's build of the changes (%d in a row; build median "
        "%.2f s; per publish %s: %d of %d at or under 1.0x; packs alone %.2fx) | %.2f s | %.2fx | 1.0x | %s |" % (
            len(r["changes"]), s["series_build_seconds"], "/".join("%.2f" % q for q in s["publish_ratios"]),
            s["publish_ratios_within"], len(r["changes"]), s["publish_ratio_packs"],
            s["series_publish_seconds"], s["publish_ratio"], met(s["publish_ratio"], 1.0)),
        "| Whole files uploaded in %d consecutive 1 %% publishes (%s) | %d of %d | | | |" % (
            len(r["changes"]), "; ".join(s["wholes"]) or "none", len(s["wholes"]), len(r["changes"])),
        "| A one-pack pull through rclone (S3), requests (%s) | %s | | 15 | %s |" % (
            one_pack_requests(r), "/".join(map(str, s["one_pack_rclone_requests"])),
            met(max(s["one_pack_rclone_requests"]), 15)),
        "| Uploaded per publish after a `full` build | %.2f MB | %.3fx | 0.45x | %s |" % (
            s["full_uploaded"] / 1e6, s["full_uploaded_ratio"], met(s["full_uploaded_ratio"], 0.45)),
        "| A reader's fetch, previous to new version (peer: rsync with an ssh target's options, %.2f MB, %.3fx) "
        "| %.2f MB | %.3fx | 0.08x | %s |" % (s["changes_rsync_sent"] / 1e6, s["rsync_ratio"], s["changes_fetched"] / 1e6,
                                             s["fetched_ratio"], met(s["fetched_ratio"], 0.08)),
        "| A pull that finds nothing new over http://: requests (%s) | %s | | 1 | %s |"
        % (", ".join(sorted({"%s %s" % tuple(q) for x in r["changes"] for qs in x["quiet_http_requests"] for q in qs})),
           "/".join(map(str, s["quiet_http_requests"])), met(max(s["quiet_http_gets"] + s["quiet_http_requests"]), 1)),
        "| A pull that finds nothing new through rclone (S3): requests (GETs) | %s (%s) | | 1 | %s |"
        % ("/".join(map(str, s["quiet_rclone_requests"])), "/".join(map(str, s["quiet_rclone_gets"])),
           met(max(s["quiet_rclone_gets"] + s["quiet_rclone_requests"]), 1)),
        "| A pull that finds nothing new: time (the agent's start alone, `--help`: %.3f s) | %.3f s | %+.3f s "
        "| +0.1 s | %s |" % (r["agent_start_seconds"], s["quiet_seconds"], s["quiet_seconds"] - r["agent_start_seconds"],
                             met(s["quiet_seconds"] - r["agent_start_seconds"], 0.1)),
        "| %d readers at once: on the new version | %d of %d | | all | %s |" % (
            r["readers"], s["many_readers_on_new_version"], r["readers"],
            "met" if s["all_readers_on_new_version"] else "**not met**"),
        "| %d readers: the build machine's upload (1 reader: %.2f MB) | %.2f MB | %.2fx | 1x | %s |" % (
            r["readers"], s["many_one_uploaded"] / 1e6, s["many_uploaded"] / 1e6,
            s["many_uploaded"] / s["many_one_uploaded"], met(abs(s["many_uploaded"] / s["many_one_uploaded"] - 1), 0.1)),
        "| %d readers: the build's run (1 reader: %.2f s; samples %s s against %s s) | %.2f s | %.2fx "
        "| no longer (1.15x, the noise here) | %s |" % (
            r["readers"], s["many_one_seconds"], "/".join("%.1f" % x["seconds"] for x in r["many"]),
            "/".join("%.1f" % x["one_seconds"] for x in r["many"]), s["many_seconds"],
            s["many_seconds"] / s["many_one_seconds"], met(s["many_seconds"] / s["many_one_seconds"], 1.15)),
        "| Peer: the build pushing to %d ssh targets (sshd on 127.0.0.1), bytes sent | %.2f MB | %.1fx the store's | | |"
        % (r["readers"], s["many_push_sent"] / 1e6, s["many_push_sent"] / s["many_uploaded"]),
        "| Peer: the build pushing to %d ssh targets, run time | %.2f s | %.1fx the store's | | |" % (
            r["readers"], s["many_push_seconds"], s["many_push_seconds"] / s["many_seconds"]),
    ]
    return "\n".join(lines + notes(r))


def one_pack_requests(r):
    """The requests of the first one-pack pull through rclone, counted by method."""
    x = next(x for x in r["changes"] if not x["whole"])
    counts = {}
    for m, what in x["rclone_pull_requests"]:
        key = "%s %s" % (m, "a manifest" if what.endswith("manifest") else "a pack" if what.endswith("pack.zst")
                         else "the bucket (a listing)" if what == "lumora-bench" else what)
        counts[key] = counts.get(key, 0) + 1
    return ", ".join("%s x%d" % kv for kv in sorted(counts.items()))


def notes(r):
    """The rows of the readers behind and the notes under the table."""
    s, b, lines = r["summary"], r["behind"], []
    for x in b:
        lines.append("| Reader %d versions behind (v%d to v%d): fetched, took %s (packs: %s; newest whole file v%d "
                     "and packs after it: %.2f MB) | %.2f MB | %.3fx | cheaper way | %s |" % (
                         x["current"] - x["held"], x["held"], x["current"], x["took"],
                         "%.2f MB" % (x["packs_bytes"] / 1e6) if x["packs_bytes"] is not None else "none, a whole file lies between",
                         x["newest_whole"], x["whole_and_packs_bytes"] / 1e6, x["fetched"] / 1e6,
                         x["fetched"] / x["index_bytes"], "met" if x["chose_cheaper"] else "**not met**"))
    lines += ["", "The %d readers' agents run on the build machine here, after the build returned (on their own "
              "machines they would run meanwhile); started all at once they took %.2f s together and fetched %.1f MB "
              "from the store, each checking its new file (SHA-256, quick_check, FTS5 integrity-check). Each 1-reader "
              "build ran just before a 20-reader one, on the same load. The peer is the same `/auto` run with %d "
              "`ssh://` targets on a throwaway sshd on 127.0.0.1, each holding the previous file; its bytes are the "
              "program's own `lumora_index_target_bytes_sent`, summed." % (
                  r["readers"], s["many_readers_seconds"], s["many_readers_fetched"] / 1e6, r["readers"])]
    if max(s["quiet_rclone_requests"]) > 1:
        lines.append("Through rclone, a pull that finds nothing new makes %s requests: `rclone cat` first looks the "
                     "object up (HEAD `current`, then a GET of the bucket, a listing) before its GET; over http:// it is the "
                     "one GET." % "/".join(map(str, s["quiet_rclone_requests"])))
    for x in b:
        if x["fetched"] > x["index_bytes"]:
            sizes = ", ".join("%s %.2f MB" % (short(o), r["objects"][o] / 1e6) for o in x["data_objects"])
            lines.append("The reader behind across `full` builds fetched more than the index file (%.3fx): %s. A `full` "
                         "build rewrites nearly every page, so its pack is about as large as its whole file and the "
                         "publisher, taking whichever is smaller, publishes the pack; a reader behind it then fetches "
                         "the whole file and each near-whole pack after it. It took the only way the store offered; a "
                         "publisher that sent the whole file when a pack comes near its size would leave about one "
                         "whole file here (%.2f MB, %.2fx)." % (
                             x["fetched"] / x["index_bytes"], sizes, r["objects"][x["data_objects"][0]] / 1e6,
                             r["objects"][x["data_objects"][0]] / x["index_bytes"]))
    lines.append("")
    return lines


def write_section(path, section):
    """Puts the section in place of an earlier one, or at the end."""
    changes.write_section(path, section, "## Publishing to a store")
