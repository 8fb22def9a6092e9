#!/usr/bin/python3
"""What a query typed without accents finds: per language of the quality corpus
(bench/corpus.py) and a sentence more for the accents a suffix holds, each word of its sentences that has diacritics, asked without them
(Unicode decomposition, combining marks dropped) of an index of the sentences made with
`snowball LANGUAGE unicode61 remove_diacritics 2`; a word counts when its sentence is
found. Prints a table for the README and the words not found.
   bench/accents.py [EXTENSION]     (default build/snowball/lumora_snowball.so)"""
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
