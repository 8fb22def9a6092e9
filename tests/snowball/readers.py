#!/usr/bin/python3
"""Asks the readers of the README what the program's Search window answered: Python's
sqlite3, the sqlite3 shell and PHP's SQLite3, each loading lumora_snowball.so, must
rank the same keys; Python without the extension reads index_info and gets "no such
tokenizer" reading a snowball index's documents at all, and ranks the others alike (by the index's own
rank setting, its column weights).
   readers.py EXTENSION TABLE
TABLE: one line per question, tab-separated: index file, FTS5 query, the keys the
program ranked (comma-separated, best first). Prints each wrong answer; exits 1 then."""
import os
import sqlite3
import subprocess
import sys

extension, table = sys.argv[1], sys.argv[2]
SQL = "SELECT key FROM documents WHERE documents MATCH %s ORDER BY rank, key"
questions = [line.rstrip("\n").split("\t") for line in open(table, encoding="utf-8")]
wrong = []


def python_keys(index, query, load=True):
    db = sqlite3.connect(f"file:{index}?mode=ro", uri=True)
    db.enable_load_extension(True)
    if load:
        db.load_extension(extension)
    keys = [str(k) for (k,) in db.execute(SQL % "?", (query,))]
    db.close()
    return keys


def shell_keys(index, query):
    sql = SQL % ("'%s'" % query.replace("'", "''")) + ";"
    out = subprocess.run(["sqlite3", "-readonly", "-cmd", ".load " + extension, index, sql],
                         capture_output=True, text=True, check=True).stdout
    return out.split()


PHP = """$in = fopen('php://stdin', 'r');
while (($line = fgets($in)) !== false) {
    [$index, $query] = explode("\\t", rtrim($line, "\\n"));
    $db = new SQLite3($index, SQLITE3_OPEN_READONLY);
    $db->loadExtension(basename($argv[1]));
    $st = $db->prepare(str_replace('%s', ':q', $argv[2]));
    $st->bindValue(':q', $query, SQLITE3_TEXT);
    $r = $st->execute();
    $keys = [];
    while ($row = $r->fetchArray(SQLITE3_NUM)) $keys[] = $row[0];
    echo implode(',', $keys), "\\n";
}"""
php = subprocess.run(["php", "-d", "sqlite3.extension_dir=" + os.path.dirname(extension), "-r", PHP, extension, SQL],
                     input="".join(f"{i}\t{q}\n" for i, q, _ in questions), capture_output=True, text=True)
php_answers = php.stdout.split("\n")
if php.returncode != 0:
    wrong.append("php: " + php.stderr[-400:])

for n, (index, query, ranked) in enumerate(questions):
    # The engine breaks ties of rank by row order; the readers are asked to as well.
    program = [k for k in ranked.split(",") if k]
    answers = {"python": python_keys(index, query), "sqlite3 shell": shell_keys(index, query),
               "php": [k for k in php_answers[n].split(",") if k] if n < len(php_answers) else None}
    info = dict(sqlite3.connect(f"file:{index}?mode=ro", uri=True).execute("SELECT name, value FROM index_info"))
    if info["needs_extension"] == "none":
        answers["python without the extension"] = python_keys(index, query, load=False)
    for reader, keys in answers.items():
        if keys != program:
            wrong.append(f"{reader}: {query} in {index} ranks {keys}, the program {program}")

# A reader without the extension reads index_info and is told what it lacks on MATCH.
for index in sorted({q[0] for q in questions}):
    db = sqlite3.connect(f"file:{index}?mode=ro", uri=True)
    info = dict(db.execute("SELECT name, value FROM index_info"))
    try:
        db.execute("SELECT count(*) FROM documents").fetchall()  # no MATCH needed to fail
        error = ""
    except sqlite3.Error as e:
        error = str(e)
    uses = info["tokenizer"].startswith("snowball")
    if info["needs_extension"] != ("lumora_snowball" if uses else "none"):
        wrong.append(f"{index}: needs_extension is {info['needs_extension']} for {info['tokenizer']}")
    if bool(info["libstemmer"]) != uses or info["libstemmer"] == "unknown":
        wrong.append(f"{index}: libstemmer is {info['libstemmer']!r} for {info['tokenizer']}")
    if uses != (error == "no such tokenizer: snowball"):
        wrong.append(f"{index}: without the extension, reading documents gives {error!r}")

print("\n".join(wrong))
sys.exit(1 if wrong else 0)
