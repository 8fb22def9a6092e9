#!/usr/bin/python3
"""Asks the readers of the README the questions of a table: Python's sqlite3 and the
sqlite3 shell, each loading lumora_snowball.so, and Python without it.
   readers.py EXTENSION TABLE
TABLE: one line per question, tab-separated: index file, FTS5 query, key, 1 when the
key must be found (0: must not). Prints each wrong answer; exits 1 when there is one."""
import sqlite3
import subprocess
import sys

extension, table = sys.argv[1], sys.argv[2]
wrong = []


def python_keys(index, query):
    db = sqlite3.connect(f"file:{index}?mode=ro", uri=True)
    db.enable_load_extension(True)
    db.load_extension(extension)
    keys = {str(k) for (k,) in db.execute("SELECT key FROM documents WHERE documents MATCH ?", (query,))}
    db.close()
    return keys


def shell_keys(index, query):
    sql = "SELECT key FROM documents WHERE documents MATCH '%s';" % query.replace("'", "''")
    out = subprocess.run(["sqlite3", "-readonly", "-cmd", ".load " + extension, index, sql],
                         capture_output=True, text=True, check=True).stdout
    return set(out.split())


indexes = set()
for line in open(table, encoding="utf-8"):
    index, query, key, must = line.rstrip("\n").split("\t")
    indexes.add(index)
    for reader, keys in (("python", python_keys), ("sqlite3 shell", shell_keys)):
        if (key in keys(index, query)) != (must == "1"):
            wrong.append(f"{reader}: {query} {'misses' if must == '1' else 'finds'} key {key} in {index}")

# A reader without the extension reads index_info and is told what it lacks on MATCH.
for index in sorted(indexes):
    db = sqlite3.connect(f"file:{index}?mode=ro", uri=True)
    (tokenizer,) = db.execute("SELECT value FROM index_info WHERE name = 'tokenizer'").fetchone()
    (needs,) = db.execute("SELECT value FROM index_info WHERE name = 'needs_extension'").fetchone()
    (stemmer,) = db.execute("SELECT value FROM index_info WHERE name = 'libstemmer'").fetchone()
    try:
        db.execute("SELECT key FROM documents WHERE documents MATCH 'x'").fetchall()
        error = ""
    except sqlite3.Error as e:
        error = str(e)
    uses = tokenizer.startswith("snowball")
    if needs != ("lumora_snowball" if uses else "none"):
        wrong.append(f"{index}: needs_extension is {needs} for the tokenizer {tokenizer}")
    if bool(stemmer) != uses or stemmer == "unknown":
        wrong.append(f"{index}: libstemmer is {stemmer!r} for the tokenizer {tokenizer}")
    if uses != (error == "no such tokenizer: snowball"):
        wrong.append(f"{index}: without the extension, MATCH gives {error!r}")

print("\n".join(wrong))
sys.exit(1 if wrong else 0)
