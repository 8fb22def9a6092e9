"""Builds that apply only the changes against full builds, on the GCIDE corpus from SQLite.

Run by `bench/run --only changes`. Every figure is a measurement; nothing here fails on a
timing. Whole `/auto` runs of the program, each with its checks and its swap:

- the run time of a `changes` build against a `full` build of the same data, with 1 %,
  0.1 % and none of the documents changed (edited, deleted and new in the proportions
  10 : 1 : 2);
- the bytes rsync sends (delta transfer, block size 4096) to bring a copy of the previous
  index up to the new one, for either build;
- the bytes per document that the digests add;
- after 30 consecutive `changes` builds of 1 %: the time of 20 fixed queries and the file
  size against a fresh full build of the same data.
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


def query_seconds(index, repeat=5):
    con = sqlite3.connect("file:%s?mode=ro" % index, uri=True)
    best = None
    for _ in range(repeat):
        start = time.perf_counter()
        for q in QUERIES:
            con.execute("SELECT key FROM documents WHERE documents MATCH ? ORDER BY rank LIMIT 50", (q,)).fetchall()
        took = time.perf_counter() - start
        best = took if best is None else min(best, took)
    con.close()
    return best


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

    def app(self, mode):
        folder = os.path.join(self.work, "app-" + mode)
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
        # Thirty builds of the changes in a row, then a fresh full build of the same data.
        for _ in range(30):
            mutate(self.db, 1.0, self.rng)
            self.run("changes")
        self.run("full")
        results["after_30"] = {
            "changes_query_seconds": query_seconds(self.index("changes")),
            "full_query_seconds": query_seconds(self.index("full")),
            "changes_bytes": os.path.getsize(self.index("changes")),
            "full_bytes": os.path.getsize(self.index("full")),
            "changes_mode": info(self.index("changes"), "build_mode"),
        }
        a = results["after_30"]
        a["query_ratio"] = a["changes_query_seconds"] / a["full_query_seconds"]
        a["size_ratio"] = a["changes_bytes"] / a["full_bytes"]
        self.log("after 30 builds of the changes: queries %.2fx, size %.2fx" % (a["query_ratio"], a["size_ratio"]))
        results["load_average"] = os.getloadavg()
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
    a = r["after_30"]
    lines += ["",
              "The digests add %.0f bytes per document to the index file." % r["digest_bytes_per_document"],
              "",
              "After 30 builds of the changes in a row (1 %% each): 20 fixed queries took %.4f s against %.4f s on "
              "a fresh full build of the same data (%.2fx); the file is %.1f MB against %.1f MB (%.2fx)." % (
                  a["changes_query_seconds"], a["full_query_seconds"], a["query_ratio"], a["changes_bytes"] / 1e6,
                  a["full_bytes"] / 1e6, a["size_ratio"]),
              ""]
    return "\n".join(lines)


def write_section(path, section):
    """Puts the section in place of an earlier one, or at the end."""
    text = ""
    if os.path.exists(path):
        with open(path) as f:
            text = f.read()
    head = "## Builds that apply only the changes"
    if head in text:
        start = text.index(head)
        end = text.find("\n## ", start + len(head))
        text = text[:start] + section + (text[end + 1:] if end >= 0 else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    with open(path, "w") as f:
        f.write(text)
