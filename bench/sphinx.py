#!/usr/bin/python3
"""The same hit sets as Sphinx: per language of the quality corpus (bench/corpus.py), the
sentences indexed by Debian's sphinxsearch (indexer, morphology = libstemmer_<lang>, the
same libstemmer.so.0d as lumora_snowball.so) and by FTS5 with snowball, then every word of
the corpus and every query word asked of both (searchd on 127.0.0.1, SphinxQL): the
documents each finds must be the same.
Three pairs of settings per language:
  exact   Sphinx folds case only (a charset_table of every Latin, Greek and Cyrillic letter,
          upper to lower, accents kept) against `snowball LANG unicode61 remove_diacritics 0`;
  folded  Sphinx folds case and accents (each letter to its base letter) before the stemmer
          sees the word, against `snowball LANG unicode61 remove_diacritics 2`, which strips
          them from the stem, after stemming;
  default Sphinx's default charset_table (English and Russian letters only, so that any
          other letter splits a word) against `snowball LANG unicode61 remove_diacritics 2`.
Sphinx is a peer for comparison only: when indexer, searchd or Python's pymysql are
missing, the script installs sphinxsearch and python3-pymysql with apt-get when it runs
as root, and otherwise skips with a message.
   bench/sphinx.py [--build DIR] [--out FILE]     (default bench/results/sphinx.json)"""
import argparse
import json
import os
import re
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unicodedata

from corpus import QUERIES, SENTENCES

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STEMMER = {"german": "de", "french": "fr", "spanish": "es", "italian": "it", "dutch": "nl",
           "portuguese": "pt", "swedish": "sv", "russian": "ru", "greek": "el"}
SETTINGS = {"exact": ("remove_diacritics 0", False), "folded": ("remove_diacritics 2", True),
            "default": ("remove_diacritics 2", None)}


def sphinx_ready():
    def present():
        try:
            import pymysql  # noqa: F401
        except ImportError:
            return False
        return bool(shutil.which("indexer") and shutil.which("searchd"))

    if not present() and os.geteuid() == 0:
        print("installing Debian's sphinxsearch and python3-pymysql for the comparison", file=sys.stderr)
        subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", "sphinxsearch", "python3-pymysql"],
                       stdout=subprocess.DEVNULL, check=False)
    return present()


def charset_table(fold_accents):
    """Every letter and digit of Latin, Greek and Cyrillic, upper case mapped to lower and,
    when fold_accents, a letter with diacritics mapped to its base letter."""
    entries = []
    for lo, hi in ((0x30, 0x39), (0x41, 0x5A), (0x61, 0x7A), (0xC0, 0x24F), (0x370, 0x3FF), (0x400, 0x4FF)):
        for cp in range(lo, hi + 1):
            c = chr(cp)
            if not c.isalnum():
                continue
            to = c.lower() if len(c.lower()) == 1 else c
            if fold_accents and unicodedata.normalize("NFD", to)[0].isalnum():
                to = unicodedata.normalize("NFD", to)[0]
            entries.append("U+%X->U+%X" % (cp, ord(to)) if to != c else "U+%X" % cp)
    # one line per 16 entries: indexer refuses a configuration line over its limit
    return ", \\\n ".join(", ".join(entries[i:i + 16]) for i in range(0, len(entries), 16))


def words(language):
    seen = []
    for w in [w for s in SENTENCES[language] for w in re.findall(r"\w+", s)] + QUERIES[language]:
        if w not in seen:
            seen.append(w)
    return seen


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def configuration(folder, port):
    parts = []
    for language, code in STEMMER.items():
        tsv = os.path.join(folder, language + ".tsv")
        with open(tsv, "w", encoding="utf-8") as f:
            f.writelines("%d\t%s\n" % (n, s) for n, s in enumerate(SENTENCES[language], 1))
        parts.append("source %s {\n type = tsvpipe\n tsvpipe_command = cat %s\n tsvpipe_field = body\n}"
                     % (language, tsv))
        for name, (_, fold) in SETTINGS.items():
            parts.append("index %s_%s {\n source = %s\n path = %s/%s_%s\n morphology = libstemmer_%s\n"
                         "%s min_word_len = 1\n dict = keywords\n}"
                         % (language, name, language, folder, language, name, code,
                            "" if fold is None else " charset_table = %s\n" % charset_table(fold)))
    parts.append("indexer {\n mem_limit = 64M\n}")
    parts.append("searchd {\n listen = 127.0.0.1:%d:mysql41\n pid_file = %s/searchd.pid\n log = %s/searchd.log\n"
                 " query_log = %s/query.log\n binlog_path =\n workers = threads\n}" % (port, folder, folder, folder))
    path = os.path.join(folder, "sphinx.conf")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(parts) + "\n")
    return path


def connect(port):
    import pymysql
    for _ in range(100):
        try:
            return pymysql.connect(host="127.0.0.1", port=port, charset="utf8")
        except pymysql.err.OperationalError:
            time.sleep(0.1)
    sys.exit("searchd did not answer on 127.0.0.1:%d" % port)


def snowball_hits(db, language, option):
    db.execute("DROP TABLE IF EXISTS t")
    db.execute("CREATE VIRTUAL TABLE t USING fts5(b, tokenize = 'snowball %s unicode61 %s')" % (language, option))
    db.executemany("INSERT INTO t(rowid, b) VALUES (?, ?)", enumerate(SENTENCES[language], 1))
    return {w: sorted(r for (r,) in db.execute("SELECT rowid FROM t WHERE t MATCH ?", ('"%s"' % w,)))
            for w in words(language)}


def sphinx_hits(cursor, index, language):
    hits = {}
    for w in words(language):
        cursor.execute("SELECT id FROM %s WHERE MATCH(%%s) LIMIT 1000 OPTION max_matches=1000" % index, ('"%s"' % w,))
        hits[w] = sorted(int(r) for (r,) in cursor.fetchall())
    return hits


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--out", default=os.path.join(ROOT, "bench", "results", "sphinx.json"))
    args = parser.parse_args()
    if not sphinx_ready():
        print("skipped: Debian's sphinxsearch (indexer, searchd) or python3-pymysql is not installed and "
              "cannot be installed here (apt-get install sphinxsearch python3-pymysql as root)")
        return
    db = sqlite3.connect(":memory:")
    db.enable_load_extension(True)
    db.load_extension(os.path.join(args.build, "snowball", "lumora_snowball.so"))
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        port = free_port()
        conf = configuration(folder, port)
        indexer = subprocess.run(["indexer", "--config", conf, "--all"], capture_output=True, text=True)
        if indexer.returncode != 0 or "ERROR" in indexer.stdout:
            sys.exit("indexer failed:\n" + indexer.stdout[-2000:])
        subprocess.run(["searchd", "--config", conf], check=True, stdout=subprocess.DEVNULL)
        try:
            cursor = connect(port).cursor()
            for language in STEMMER:
                for name, (option, _) in SETTINGS.items():
                    ours, theirs = snowball_hits(db, language, option), sphinx_hits(cursor, language + "_" + name,
                                                                                    language)
                    differing = {w: {"snowball": ours[w], "sphinx": theirs[w]} for w in ours if ours[w] != theirs[w]}
                    results.setdefault(language, {})[name] = {
                        "words": len(ours), "with_hits": sum(1 for w in ours if ours[w]), "same": len(ours) -
                        len(differing), "differing": differing}
        finally:
            subprocess.run(["searchd", "--config", conf, "--stopwait"], stdout=subprocess.DEVNULL, check=False)
    print("| Language | words asked | " + " | ".join("same hits, %s | differing" % n for n in SETTINGS) + " |")
    print("|---|---:|" + "---:|---:|" * len(SETTINGS))
    for language, r in results.items():
        print("| %s | %d | " % (language, r["exact"]["words"]) + " | ".join(
            "%d | %d" % (r[n]["same"], r[n]["words"] - r[n]["same"]) for n in SETTINGS) + " |")
    for language, r in results.items():
        for name, s in r.items():
            for w, d in s["differing"].items():
                print("%s %s: %s → snowball %s, sphinx %s" % (language, name, w, d["snowball"], d["sphinx"]))
    version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "sphinxsearch"], capture_output=True,
                             text=True).stdout
    with open(args.out, "w", encoding="utf-8") as f:
        charset = {True: "case and accents folded", False: "case folded, accents kept", None: "default"}
        settings = {k: {"snowball": "unicode61 " + v[0], "sphinx_charset_table": charset[v[1]]}
                    for k, v in SETTINGS.items()}
        json.dump({"sphinxsearch": version, "settings": settings, "languages": results},
                  f, ensure_ascii=False, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
