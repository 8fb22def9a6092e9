#!/usr/bin/python3
"""What a search box gets on GCIDE (about 126,000 entries, the default tokenizer), asked
through lumora_snowball.so as a web application would ask it:
- exact before prefix: 60 headwords (seeded) that begin longer headwords; a query counts
  when the entries holding the word itself fill the top 10 of lumora_match(word) (all
  of them when fewer than 10 hold it);
- title first: how often the first result holds the word in its title (as the
  tokenizer makes it a term: "Legally" holds "legal"), with equal weights
  and with <ColumnWeights> 10 1 (a copy of the index with that rank setting, as the
  build writes it).
- typos: headwords (seeded) misspelt by one edit (words of 5 letters or more) or two
  (9 or more): a substitution, deletion, insertion or swap of neighbours, never of the
  first letter, kept only where the misspelling finds nothing; a query counts when an
  entry of the headword is in the top 10 of lumora_match(misspelling, 'documents');
- correctly spelt headwords: every top-10 result of the tolerant query also matches
  the strict one;
- times (median, warm) of the tolerant and the strict query; a new process's first
  tolerant query; the memory the cached vocabulary adds to a process.
   bench/searchbox.py [--build DIR] [--docs FILE] [--work DIR] [--out FILE]
DOCUMENT comes from bench/run's prepared docs1.db (--docs), or is read from the GCIDE
dictionary by build/bench/lumora_bench_prepare. Writes FILE (default
bench/results/searchbox.json)."""
import argparse
import json
import os
import random
import re
import shutil
import statistics
import sqlite3
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOKENIZER = "porter unicode61 remove_diacritics 2"


def documents(args, work):
    if args.docs:
        return args.docs
    db = os.path.join(work, "docs1.db")
    if not os.path.exists(db):
        dictd = os.path.join(ROOT, ".deps/gcide/usr/share/dictd")
        subprocess.run([os.path.join(args.build, "bench", "lumora_bench_prepare"), "documents",
                        os.path.join(dictd, "gcide.index"), os.path.join(dictd, "gcide.dict.dz"), db,
                        os.path.join(work, "docs1.tsv"), "1", "0"], check=True, capture_output=True)
    return db


def index(args, work, source):
    """The FTS5 index of the program's layout (the key unsearched), built once."""
    path = os.path.join(work, "searchbox.db")
    if not os.path.exists(path):
        db = sqlite3.connect(path + ".tmp")
        db.execute("ATTACH ? AS source", (source,))
        db.execute("CREATE VIRTUAL TABLE documents USING fts5(key UNINDEXED, TITLE, BODY, tokenize = '%s')"
                   % TOKENIZER)
        db.execute("INSERT INTO documents SELECT DOCID, TITLE, BODY FROM source.DOCUMENT")
        db.commit()
        db.close()
        os.rename(path + ".tmp", path)
    return path


def weighted(path, weights):
    """A copy of the index whose rank setting weighs TITLE and BODY so."""
    copy = path.replace(".db", "-weighted.db")
    if not os.path.exists(copy):
        shutil.copyfile(path, copy + ".tmp")
        db = sqlite3.connect(copy + ".tmp")
        db.execute("INSERT INTO documents(documents, rank) VALUES('rank', 'bm25(0, %s)')" % ", ".join(weights))
        db.commit()
        db.close()
        os.rename(copy + ".tmp", copy)
    return copy


def connect(path, extension):
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    db.enable_load_extension(True)
    db.load_extension(extension)
    return db


def prefix_words(db, count, seed):
    """Headwords of 3 to 8 letters that begin a longer headword, seeded."""
    titles = sorted({t.lower() for (t,) in db.execute("SELECT TITLE FROM documents")
                     if re.fullmatch(r"[A-Za-z]{3,12}", t)})
    words = [w for i, w in enumerate(titles) if len(w) <= 8 and i + 1 < len(titles)
             and titles[i + 1].startswith(w)]
    return random.Random(seed).sample(words, count)


def exact_first(db, words, rank):
    filled, title = 0, 0
    for w in words:
        holding = {k for (k,) in db.execute("SELECT key FROM documents WHERE documents MATCH ?", ('"%s"' % w,))}
        top = db.execute("SELECT key, TITLE FROM documents WHERE documents MATCH lumora_match(?) ORDER BY %s"
                         " LIMIT 10" % rank, (w,)).fetchall()
        want = min(10, len(holding))
        filled += len(top) >= want and all(k in holding for k, _ in top[:want])
        title += bool(top) and top[0][0] in {k for (k,) in db.execute(
            "SELECT key FROM documents WHERE documents MATCH ?", ('TITLE : "%s"' % w,))}
    return filled, title


TOP = "SELECT key FROM documents WHERE documents MATCH %s ORDER BY rank LIMIT 10"
STRICT, TOLERANT = TOP % "lumora_match(?)", TOP % "lumora_match(?, 'documents')"


def misspell(word, edits, rng):
    letters = "abcdefghijklmnopqrstuvwxyz"
    for _ in range(edits):
        i = rng.randrange(1, len(word))
        kind = rng.choice("sdit" if i + 1 < len(word) else "sdi")
        if kind == "s":
            word = word[:i] + rng.choice(letters.replace(word[i], "")) + word[i + 1:]
        elif kind == "d":
            word = word[:i] + word[i + 1:]
        elif kind == "i":
            word = word[:i] + rng.choice(letters) + word[i:]
        elif word[i] != word[i + 1]:
            word = word[:i] + word[i + 1] + word[i] + word[i + 2:]
    return word


def typos(db, titles, shortest, edits, count, rng):
    """(found, asked, seconds of each tolerant query)"""
    found = asked = 0
    seconds = []
    for word in rng.sample([t for t in titles if len(t) >= shortest], 4 * count):
        typo = misspell(word, edits, rng)
        if asked == count or db.execute(STRICT, (typo,)).fetchone():
            continue
        entries = {k for (k,) in db.execute("SELECT key FROM documents WHERE TITLE = ? COLLATE NOCASE", (word,))}
        start = time.perf_counter()
        top = {k for (k,) in db.execute(TOLERANT, (typo,))}
        seconds.append(time.perf_counter() - start)
        asked += 1
        found += bool(top & entries)
    return found, asked, seconds


def timed(db, sql, words):
    seconds = []
    for w in words:
        start = time.perf_counter()
        db.execute(sql, (w,)).fetchall()
        seconds.append(time.perf_counter() - start)
    return statistics.median(seconds)


FIRST = """import sqlite3, sys, time
def resident():
    return int(open("/proc/self/statm").read().split()[1]) * 4096
db = sqlite3.connect("file:%s?mode=ro", uri=True)
db.enable_load_extension(True)
db.load_extension(%r)
db.execute("SELECT count(*) FROM documents WHERE documents MATCH 'ocean'").fetchall()
before = resident()
start = time.perf_counter()
db.execute(%r, (sys.argv[1],)).fetchall()
first = time.perf_counter() - start
for letter in "abcdefghijklmnopqrstuvwxyz":
    db.execute("SELECT lumora_match(?, 'documents')", (letter + "qqqqzzzz",)).fetchall()
print(first, resident() - before)"""


def first_query(path, extension, typo):
    out = subprocess.run(["/usr/bin/python3", "-c", FIRST % (path, extension, TOLERANT), typo],
                         capture_output=True, text=True, check=True).stdout.split()
    return float(out[0]), int(out[1]) / 1024 / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--docs")
    parser.add_argument("--work", default="/tmp/lumora-searchbox")
    parser.add_argument("--out", default=os.path.join(ROOT, "bench", "results", "searchbox.json"))
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    extension = os.path.join(args.build, "snowball", "lumora_snowball.so")
    path = index(args, args.work, documents(args, args.work))
    db = connect(path, extension)
    words = prefix_words(db, 60, 36)
    filled, title = exact_first(db, words, "rank")
    _, title_weighted = exact_first(connect(weighted(path, ["10", "1"]), extension), words, "rank")
    results = {"prefix_words": len(words), "exact_fill_top10": filled, "title_first": title,
               "title_first_weights_10_1": title_weighted}
    rng = random.Random(36)
    titles = sorted({t.lower() for (t,) in db.execute("SELECT TITLE FROM documents") if re.fullmatch(r"[a-z]+", t)})
    one = typos(db, titles, 5, 1, 200, rng)
    two = typos(db, titles, 9, 2, 200, rng)
    right = rng.sample([t for t in titles if len(t) >= 5], 200)
    kept = 0
    for w in right:
        strict = {k for (k,) in db.execute("SELECT key FROM documents WHERE documents MATCH lumora_match(?)", (w,))}
        kept += all(k in strict for (k,) in db.execute(TOLERANT, (w,)))
    results.update(one_edit=one[:2], two_edits=two[:2], right_kept=[kept, len(right)],
                   strict_ms=round(1000 * timed(db, STRICT, right), 3),
                   tolerant_ms=round(1000 * timed(db, TOLERANT, right), 3),
                   tolerant_typo_ms=round(1000 * statistics.median(one[2] + two[2]), 3))
    first, memory = first_query(path, extension, "sunshien")
    results.update(first_tolerant_s=round(first, 3), vocabulary_mib=round(memory, 1))
    print("exact words fill the top 10: %d of %d (target >= 95 %%)" % (filled, len(words)))
    print("first result holds the word in its title: %d of %d; with weights 10 1: %d of %d"
          % (title, len(words), title_weighted, len(words)))
    print("one edit, entry in the top 10: %d of %d (target >= 90 %%); two edits: %d of %d (target >= 75 %%)"
          % (one[0], one[1], two[0], two[1]))
    print("correctly spelt, tolerant top 10 within the strict results: %d of %d (target >= 97 %%)" % (kept, len(right)))
    print("median ms: strict %(strict_ms)s, tolerant %(tolerant_ms)s (target <= 3x), tolerant on typos "
          "%(tolerant_typo_ms)s; first tolerant query of a process %(first_tolerant_s)s s (target <= 0.5 s); "
          "vocabulary of all 26 letters cached: %(vocabulary_mib)s MiB" % results)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
