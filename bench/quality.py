#!/usr/bin/python3
"""How many of the test table's query → document pairs (tests/snowball/languages_test.cpp,
the rows that must match) each tokenizer finds, per language: FTS5's unicode61 and porter
against snowball with the row's own setting. The pairs Snowball does not join, which the
README lists as its limits, are counted too.
   bench/quality.py [EXTENSION]     (default build/snowball/lumora_snowball.so)"""
import collections
import os
import re
import sqlite3
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
extension = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "snowball", "lumora_snowball.so")
source = open(os.path.join(ROOT, "tests", "snowball", "languages_test.cpp"), encoding="utf-8").read()
rows = re.findall(r'\{"(snowball [^"]+)", "([^"]+)", "([^"]+)", true\}', source)
rows += [("snowball " + language, query, document) for language, query, document in (
    ("german", "laufen", "läuft"), ("french", "mangeons", "manger"), ("dutch", "huizen", "huis"),
    ("dutch", "kinderen", "kind"), ("portuguese", "canções", "canção"), ("swedish", "böckerna", "bok"),
    ("greek", "βιβλία", "βιβλίο"))]
PEERS = ["unicode61 remove_diacritics 2", "porter unicode61 remove_diacritics 2"]

db = sqlite3.connect(":memory:")
db.enable_load_extension(True)
db.load_extension(extension)


def finds(tokenizer, query, document):
    db.execute("DROP TABLE IF EXISTS t")
    db.execute("CREATE VIRTUAL TABLE t USING fts5(b, tokenize = '%s')" % tokenizer)
    db.execute("INSERT INTO t VALUES (?)", (document,))
    return db.execute("SELECT count(*) FROM t WHERE t MATCH ?", ('"%s"' % query,)).fetchone()[0] > 0


found = collections.OrderedDict()
for tokenizer, query, document in rows:
    language = " ".join(w for w in tokenizer.split()[1:] if w != "unicode61" and not w.startswith("remove")
                        and not w.isdigit())
    counts = found.setdefault(language, [0, 0, 0, 0])
    counts[0] += 1
    for i, t in enumerate(PEERS + [tokenizer]):
        counts[i + 1] += finds(t, query, document)
print("| Language | pairs | unicode61 | porter | snowball |")
print("|---|---:|---:|---:|---:|")
for language, (n, u, p, s) in found.items():
    print("| %s | %d | %d | %d | %d |" % (language, n, u, p, s))
