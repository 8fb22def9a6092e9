#!/usr/bin/python3
"""What a query typed without accents finds: per language of the quality corpus
(bench/corpus.py) and a sentence more for the accents a suffix holds, each word of its sentences that has diacritics, asked without them
(Unicode decomposition, combining marks dropped) of an index of the sentences made with
`snowball LANGUAGE unicode61 remove_diacritics 2`; a word counts when its sentence is
found. Prints a table for the README and the words not found.
   bench/accents.py [EXTENSION [EXTENSION_BEFORE]]   (default build/snowball/lumora_snowball.so)
With a second library (an older build), also the time and size of an index of the
sentences 4,000 times over with each, the best of 3."""
import os
import re
import sqlite3
import sys
import unicodedata

from corpus import SENTENCES

# Accents the stemmers read in a suffix: "información", "créée", "informação".
MORE = {"spanish": ["La información llegó tarde."], "french": ["La société a été créée hier."],
        "portuguese": ["A informação chegou cedo."]}
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
extension = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "snowball", "lumora_snowball.so")
db = sqlite3.connect(":memory:")
db.enable_load_extension(True)
db.load_extension(extension)


def bare(word):
    return "".join(c for c in unicodedata.normalize("NFD", word) if not unicodedata.combining(c))


print("| Language | words with accents | found typed without them | not found |")
print("|---|---:|---:|---|")
for language, sentences in SENTENCES.items():
    sentences = sentences + MORE.get(language, [])
    db.execute("DROP TABLE IF EXISTS t")
    db.execute("CREATE VIRTUAL TABLE t USING fts5(b, tokenize = 'snowball %s unicode61 remove_diacritics 2')"
               % language)
    db.executemany("INSERT INTO t(rowid, b) VALUES (?, ?)", enumerate(sentences))
    asked, missed = 0, []
    for row, sentence in enumerate(sentences):
        for word in re.findall(r"\w+", sentence):
            if bare(word) == word:
                continue
            asked += 1
            found = {r for (r,) in db.execute("SELECT rowid FROM t WHERE t MATCH ?", ('"%s"' % bare(word),))}
            if row not in found:
                missed.append("%s → %s" % (bare(word), word))
    print("| %s | %d | %d | %s |" % (language, asked, asked - len(missed), ", ".join(missed)))


def measure(library, language, sentences, copies):
    """(seconds, bytes) of an index of the sentences, copies times over, in a file."""
    import tempfile
    import time
    path = os.path.join(tempfile.mkdtemp(), "index.db")
    conn = sqlite3.connect(path)
    conn.enable_load_extension(True)
    conn.load_extension(library)
    conn.execute("CREATE VIRTUAL TABLE t USING fts5(b, tokenize = 'snowball %s unicode61 remove_diacritics 2')"
                 % language)
    start = time.perf_counter()
    conn.executemany("INSERT INTO t(b) VALUES (?)", ((s,) for _ in range(copies) for s in sentences))
    conn.execute("INSERT INTO t(t) VALUES ('optimize')")
    conn.commit()
    seconds = time.perf_counter() - start
    conn.close()
    return seconds, os.path.getsize(path)


if len(sys.argv) > 2:  # a second library, as it was before: size and time of both
    print("\n| Language | documents | seconds before | after | index KiB before | after |")
    print("|---|---:|---:|---:|---:|---:|")
    for language, sentences in SENTENCES.items():
        sentences = sentences + MORE.get(language, [])
        before = min(measure(sys.argv[2], language, sentences, 4000) for _ in range(3))
        after = min(measure(extension, language, sentences, 4000) for _ in range(3))
        print("| %s | %d | %.2f | %.2f | %d | %d |" % (language, 4000 * len(sentences), before[0], after[0],
                                                     before[1] // 1024, after[1] // 1024))
