"""Builds that apply only the changes against full builds, on the GCIDE corpus from SQLite.

Run by `bench/run --only changes`. Every figure is a measurement; nothing here fails on a
timing. Whole `/auto` runs of the program, each with its checks and its swap:

- the run time of a `changes` build against a `full` build of the same data, with 1 %,
  0.1 % and none of the documents changed (edited, deleted and new in the proportions
  10 : 1 : 2);
- the bytes rsync sends (delta transfer, block size 4096) to bring a copy of the previous
  index up to the new one, for either build;
- the bytes per document that the digests add;
- series of 100 consecutive `changes` builds of 1 % and of 0.1 %: after 30 and after 100,
  the time of 20 fixed queries and the file size against a fresh full build of the same
  data (one that keeps digests, as the first build of the mode `changes` does, and one of
  the mode `full`); the queries after every build of the series against the series'
  first index, so that the slowest point between two optimizes shows too; the run time
  of the series' builds against the full build's.

Query times are CPU seconds of this process (best of several rounds): on a machine shared
with other work they vary far less than wall time, and the queries do no I/O once the file
is in the page cache.
"""
import os
import random
import shutil
import sqlite3
import statistics
import subprocess
import time

QUERIES = ["water", "house", "light OR dark", "\"to make\"", "horse", "music", "king NEAR(queen)", "run*",
           "stone", "river", "gold", "ship", "fire AND wood", "bird", "law", "tree", "war", "salt", "bread",
           "iron"]


def changed_counts(documents, percent):
    """Edited, deleted and new documents for a share of `percent` of the documents."""
    total = round(documents * percent / 100.0)
    return round(total * 10 / 13), round(total * 1 / 13), round(total * 2 / 13)


def mutate(db, percent, rng):
    con = sqlite3.connect(db)
    ids = [r[0] for r in con.execute("SELECT DOCID FROM DOCUMENT")]
    edited, deleted, new = changed_counts(len(ids), percent)
    picked = rng.sample(ids, edited + deleted + new)
    stamp = rng.randrange(1 << 30)
    con.executemany("UPDATE DOCUMENT SET BODY = BODY || ? WHERE DOCID = ?",
                    [(" revised %d" % stamp, i) for i in picked[:edited]])
    con.executemany("DELETE FROM DOCUMENT WHERE DOCID = ?", [(i,) for i in picked[edited:edited + deleted]])
    top = con.execute("SELECT max(DOCID) FROM DOCUMENT").fetchone()[0]
    rows = con.execute("SELECT TITLE, BODY FROM DOCUMENT WHERE DOCID IN (%s)"
                       % ",".join(str(i) for i in picked[edited + deleted:] or [0])).fetchall()
    con.executemany("INSERT INTO DOCUMENT VALUES (?, ?, ?)",
                    [(top + 1 + k, t, b + " new") for k, (t, b) in enumerate(rows)])
    con.commit()
    con.close()


def rsync_bytes(previous, new, scratch):
    """Bytes rsync sends to turn a copy of `previous` into `new` (delta, block size 4096)."""
    target = os.path.join(scratch, "target.db")
    shutil.copyfile(previous, target)
    out = subprocess.run(["rsync", "--ignore-times", "--inplace", "--no-whole-file", "--block-size=4096", "--stats", new, target],
                         capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        if line.startswith("Total bytes sent:"):
            return int(line.split(":")[1].replace(",", "").split()[0])
    raise RuntimeError("rsync gave no byte count:\n" + out)


SERIES = ((1.0, (30, 100)), (0.1, (30, 100)))


def query_seconds(indexes, repeat=5):
    """CPU seconds of the 20 queries on each index, best of `repeat` rounds taken in turns."""
    cons = [sqlite3.connect("file:%s?mode=ro" % index, uri=True) for index in indexes]
    best = [None] * len(indexes)
    for _ in range(repeat):
        for i, con in enumerate(cons):
            start = time.process_time()
            for q in QUERIES:
                con.execute("SELECT key FROM documents WHERE documents MATCH ? ORDER BY rank LIMIT 50", (q,)).fetchall()
            took = time.process_time() - start
            best[i] = took if best[i] is None else min(best[i], took)
    for con in cons:
        con.close()
    return best


def segments(index):
    con = sqlite3.connect("file:%s?mode=ro" % index, uri=True)
    n = con.execute("SELECT count(DISTINCT segid) FROM documents_idx").fetchone()[0]
    con.close()
    return n


def info(index, name):
    con = sqlite3.connect("file:%s?mode=ro" % index, uri=True)
    row = con.execute("SELECT value FROM index_info WHERE name = ?", (name,)).fetchone()
    con.close()
    return row[0] if row else None


class Changes:
    def __init__(self, bench, docs, write_config, measure_ok, log):
        self.bench = bench
        self.write_config = write_config
        self.measure_ok = measure_ok
        self.log = log
        self.docs = docs
        self.work = os.path.join(bench.work, "changes")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.db = os.path.join(self.work, "documents.db")
        shutil.copyfile(docs["sqlite"], self.db)
        self.rng = random.Random(20261209)
        self.folders = {mode: self.app(mode) for mode in ("full", "changes")}
        # A build of the mode `changes` that finds no live index: a fresh full build that
        # keeps digests, the index a long series of changes builds is compared with.
        self.folders["fresh"] = self.app("changes", "fresh")

    def app(self, mode, name=None):
        folder = os.path.join(self.work, "app-" + (name or mode))
        os.makedirs(folder)
        shutil.copy2(self.bench.program, os.path.join(folder, "TessalyIndexManager"))
        self.write_config(folder, "gcide", "Provider=SQLite;Database=" + self.db)
        path = os.path.join(folder, "IndexConfiguration.xml")
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(text.replace("</NumDocuments>", "</NumDocuments>\n    <BuildMode>%s</BuildMode>" % mode))
        return folder

    def index(self, mode, name="index.db"):
        return os.path.join(self.folders[mode], "indexes", "gcide", name)

    def run(self, mode):
        folder = self.folders[mode]
        wall, _, _, _ = self.measure_ok([os.path.join(folder, "TessalyIndexManager"), "/auto", "/index", "gcide"],
                                              cwd=folder, env=self.bench.env)
        return wall

    def from_scratch(self, mode):
        """A run of the mode after its index was removed: a full build."""
        for name in ("index.db", "index.previous.db"):
            if os.path.exists(self.index(mode, name)):
                os.remove(self.index(mode, name))
        return self.run(mode)

    def series(self, percent, checkpoints):
        """Consecutive builds of the changes from a fresh full build; at each checkpoint a
        fresh full build of each kind on the same data."""
        self.from_scratch("changes")
        # The series' first index, the yardstick of the queries after every build, taken
        # in turns with them (the data drifts by the share of a build at a time).
        start = os.path.join(self.work, "series-start.db")
        shutil.copyfile(self.index("changes"), start)
        out = {"percent": percent, "builds": [], "checkpoints": []}
        for n in range(1, max(checkpoints) + 1):
            mutate(self.db, percent, self.rng)
            index = self.index("changes")
            seconds = self.run("changes")
            changes_q, start_q = query_seconds([index, start])
            out["builds"].append({"seconds": seconds, "query_ratio_to_start": changes_q / start_q,
                                  "segments": segments(index), "bytes": os.path.getsize(index),
                                  "build_mode": info(index, "build_mode"),
                                  "optimized": info(index, "changed_since_optimize") == "0"})
            if n not in checkpoints:
                continue
            fresh_seconds = self.from_scratch("fresh")
            # The yardstick is the median of three full builds: one varies by a third.
            full_seconds = statistics.median(self.run("full") for _ in range(3))
            changes_q, fresh_q, full_q = query_seconds([index, self.index("fresh"), self.index("full")], 9)
            since = out["checkpoints"][-1]["builds"] if out["checkpoints"] else 0
            window = out["builds"][since:]
            c = {"builds": n, "changes_query_seconds": changes_q, "fresh_query_seconds": fresh_q,
                 "full_query_seconds": full_q, "changes_bytes": os.path.getsize(index),
                 "fresh_bytes": os.path.getsize(self.index("fresh")), "full_bytes": os.path.getsize(self.index("full")),
                 "fresh_seconds": fresh_seconds, "full_seconds": full_seconds, "segments": segments(index),
                 # The slowest queries after any build since the last checkpoint, against
                 # the series' first index in the same rounds.
                 "worst_query_ratio": max(b["query_ratio_to_start"] for b in window),
                 "optimizes": sum(b["optimized"] for b in window),
                 "changes_seconds_median": statistics.median(b["seconds"] for b in out["builds"]),
                 "changes_seconds_max": max(b["seconds"] for b in out["builds"])}
            c["query_ratio"] = changes_q / fresh_q
            c["size_ratio"] = c["changes_bytes"] / c["fresh_bytes"]
            c["size_ratio_full_mode"] = c["changes_bytes"] / c["full_bytes"]
            c["time_ratio"] = c["changes_seconds_median"] / full_seconds
            out["checkpoints"].append(c)
            self.log("%.1f %% x %d: queries %.2fx (worst %.2fx), file %.2fx (%.2fx of a full-mode build), "
                     "changes builds median %.2f s against %.2f s full (%.2fx), %d optimizes"
                     % (percent, n, c["query_ratio"], c["worst_query_ratio"], c["size_ratio"],
                        c["size_ratio_full_mode"], c["changes_seconds_median"], full_seconds, c["time_ratio"],
                        c["optimizes"]))
        return out

    def both(self):
        """A run of each mode on the same data: seconds, checks seconds, rsync bytes."""
        out = {}
        for mode in ("full", "changes"):
            wall = self.run(mode)
            out[mode] = {"seconds": wall, "checks_seconds": float(info(self.index(mode), "checks_seconds") or 0),
                         "build_mode": info(self.index(mode), "build_mode"),
                         "sent": rsync_bytes(self.index(mode, "index.previous.db"), self.index(mode), self.work),
                         "bytes": os.path.getsize(self.index(mode))}
        return out

    def measure(self, runs):
        self.run("full")
        self.run("changes")
        results = {"documents": self.docs["documents"], "cases": []}
        full_bytes = os.path.getsize(self.index("full"))
        changes_bytes = os.path.getsize(self.index("changes"))
        results["digest_bytes_per_document"] = (changes_bytes - full_bytes) / self.docs["documents"]
        for percent in (1.0, 0.1, 0.0):
            samples = []
            for _ in range(runs):
                mutate(self.db, percent, self.rng)
                samples.append(self.both())
            case = {"percent": percent, "samples": samples}
            for key in ("seconds", "checks_seconds", "sent", "bytes"):
                for mode in ("full", "changes"):
                    case["%s_%s" % (mode, key)] = statistics.median(s[mode][key] for s in samples)
            case["modes"] = sorted({s["changes"]["build_mode"] for s in samples})
            case["ratio"] = case["changes_seconds"] / case["full_seconds"]
            case["sent_ratio"] = case["changes_sent"] / case["full_sent"]
            results["cases"].append(case)
            self.log("changes %.1f %%: full %.2f s, changes %.2f s (%.2fx); sent %d vs %d bytes (%.3fx)"
                           % (percent, case["full_seconds"], case["changes_seconds"], case["ratio"],
                              case["full_sent"], case["changes_sent"], case["sent_ratio"]))
        results["load_average"] = os.getloadavg()
        results["series"] = [self.series(percent, checkpoints) for percent, checkpoints in SERIES]
        results["series_load_average"] = os.getloadavg()
        return results


def markdown(r):
    """The section of docs/benchmarks.md."""
    lines = ["## Builds that apply only the changes", "",
             "Measured by `bench/run --only changes` (results: `bench/results/changes.json`) on %d documents "
             "of GCIDE from SQLite, whole `/auto` runs with their checks and swap, medians of %d; load average "
             "during the run %.1f / %.1f / %.1f on 2 CPUs shared with other work. \"Sent\" is what rsync "
             "sends (delta transfer, block size 4096) to turn a copy of the index the build replaced into "
             "the new one, on this machine." % ((r["documents"], len(r["cases"][0]["samples"])) + tuple(r["load_average"])),
             "",
             "| Changed | full s | changes s | ratio | checks s full / changes | sent full MB | sent changes MB | ratio |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for c in r["cases"]:
        lines.append("| %.1f %% | %.2f | %.2f | %.2f | %.2f / %.2f | %.1f | %.1f | %.3f |" % (
            c["percent"], c["full_seconds"], c["changes_seconds"], c["ratio"], c["full_checks_seconds"],
            c["changes_checks_seconds"], c["full_sent"] / 1e6, c["changes_sent"] / 1e6, c["sent_ratio"]))
    lines += ["",
              "The digests add %.0f bytes per document to the index file." % r["digest_bytes_per_document"],
              "",
              "Long series of builds of the changes, each from a fresh full build: after 30 and 100 builds in a "
              "row, 20 fixed queries (CPU seconds, best of 9 taken in turns) and the file against a fresh full "
              "build of the same data that keeps digests (and, for the file, one of the mode `full`); the run "
              "time is the "
              "median of all the series' builds so far against the median of three full builds at that point. Load average "
              "%.1f / %.1f / %.1f at the end." % tuple(r["series_load_average"]),
              "",
              "| Changed | builds | queries s | fresh s | ratio | mean | worst | file MB | fresh MB | ratio | full-mode ratio "
              "| segments | optimizes | changes s | optimizing s | full s | ratio |",
              "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    one_segment = []
    for s in r["series"]:
        since = 0
        for c in s["checkpoints"]:
            # The builds that ended with an optimize, on their own.
            optimizing = [b["seconds"] for b in s["builds"][:c["builds"]] if b["optimized"]]
            window = [b["query_ratio_to_start"] for b in s["builds"][since:c["builds"]]]
            one_segment += [b["query_ratio_to_start"] for b in s["builds"][since:c["builds"]] if b["segments"] == 1]
            since = c["builds"]
            lines.append("| %.1f %% | %d | %.4f | %.4f | %.2f | %.2f | %.2f | %.1f | %.1f | %.2f | %.2f | %d | %d | %.2f "
                         "| %s | %.2f | %.2f |" % (
                s["percent"], c["builds"], c["changes_query_seconds"], c["fresh_query_seconds"], c["query_ratio"],
                statistics.mean(window), c["worst_query_ratio"], c["changes_bytes"] / 1e6, c["fresh_bytes"] / 1e6, c["size_ratio"],
                c["size_ratio_full_mode"], c["segments"], c["optimizes"], c["changes_seconds_median"],
                "%.2f" % statistics.median(optimizing) if optimizing else "-", c["full_seconds"], c["time_ratio"]))
    lines += ["", "\"Mean\" and \"worst\" are of the queries after each build since the previous line against the "
              "series' first index (which lacks the documents the series added since, up to 8 %% more at 1 %% a "
              "build); after the builds that left one segment the same measure ranged %s, its noise on this "
              "machine. \"Optimizing s\" is the median time of the series' builds that ended with an optimize." % (
                  "%.2f-%.2f" % (min(one_segment), max(one_segment)) if one_segment else "(no such build)"), ""]
    return "\n".join(lines)


def write_section(path, section, head="## Builds that apply only the changes"):
    """Puts the section under head in place of an earlier one, or at the end."""
    text = ""
    if os.path.exists(path):
        with open(path) as f:
            text = f.read()
    if head in text:
        start = text.index(head)
        end = text.find("\n## ", start + len(head))
        text = text[:start] + section.rstrip("\n") + "\n" + ("\n" + text[end + 1:] if end >= 0 else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    with open(path, "w") as f:
        f.write(text)
