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
    print("exact words fill the top 10: %d of %d (target >= 95 %%)" % (filled, len(words)))
    print("first result holds the word in its title: %d of %d; with weights 10 1: %d of %d"
          % (title, len(words), title_weighted, len(words)))
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
