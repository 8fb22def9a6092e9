#!/usr/bin/python3
"""Every reader gets the same answer: per language of the quality corpus (bench/corpus.py),
20 queries asked of the program's Search window engine (lumora_bench_search) and of the
readers of the README that load lumora_snowball.so: Python's sqlite3, the sqlite3 shell and
PHP's SQLite3. Twelve queries are query words in quotes, four are pairs joined by OR, four
are search-box text through lumora_match(?) (the engine gets the query lumora_match made).
Each reader's ranked keys (the README's ORDER BY rank LIMIT 20) must be the engine's.
   bench/readers.py [--build DIR] [--out FILE]
Prints a table per language (queries, agreeing, differing) and every differing answer;
writes FILE (default bench/results/readers.json)."""
import argparse
import json
import os
import sqlite3
import subprocess
import sys
import tempfile

from corpus import QUERIES, SENTENCES, search_box

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SQL = "SELECT key FROM documents WHERE documents MATCH %s ORDER BY rank LIMIT 20"
PHP = """$in = fopen('php://stdin', 'r');
$db = new SQLite3($argv[1], SQLITE3_OPEN_READONLY);
$db->loadExtension($argv[2]);
while (($line = fgets($in)) !== false) {
    [$sql, $query] = explode("\\t", rtrim($line, "\\n"));
    $st = $db->prepare($sql);
    $st->bindValue(1, $query, SQLITE3_TEXT);
    $r = $st->execute();
    $keys = [];
    while ($row = $r->fetchArray(SQLITE3_NUM)) $keys[] = $row[0];
    echo implode(',', $keys), "\\n";
}"""


def questions(language, db):
    """(the SQL a reader sends with ? for the text, the text, the FTS5 query the engine gets)"""
    words = QUERIES[language]
    asked = [(SQL % "?", '"%s"' % w, '"%s"' % w) for w in words]
    asked += [(SQL % "?", q, q) for q in ('"%s" OR "%s"' % (words[i], words[i + 6]) for i in range(4))]
    for text in search_box(language):
        made = db.execute("SELECT lumora_match(?)", (text,)).fetchone()[0]
        asked.append((SQL % "lumora_match(?)", text, made))
    return asked


def keys_csv(rows):
    return ",".join(str(k) for (k,) in rows)


def ask_language(language, build, extension, folder):
    source = os.path.join(folder, language + ".db")
    db = sqlite3.connect(source)
    db.execute("CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, BODY TEXT)")
    db.executemany("INSERT INTO DOCUMENT VALUES (?, ?)", enumerate(SENTENCES[language], 1))
    db.commit()
    db.close()
    py = sqlite3.connect(":memory:")
    py.enable_load_extension(True)
    py.load_extension(extension)
    asked = questions(language, py)
    tokenizer = "snowball %s unicode61 remove_diacritics 2" % language
    index_folder = os.path.join(folder, language)
    engine = subprocess.run([os.path.join(build, "bench", "lumora_bench_search"), tokenizer, source, index_folder],
                            input="".join(made + "\n" for _, _, made in asked), capture_output=True, text=True,
                            check=True).stdout.split("\n")
    index = os.path.join(index_folder, "index.db")
    py = sqlite3.connect(f"file:{index}?mode=ro", uri=True)
    py.enable_load_extension(True)
    py.load_extension(extension)
    php = subprocess.run(["php", "-d", "sqlite3.extension_dir=" + os.path.dirname(extension), "-r", PHP, index,
                          os.path.basename(extension)],
                         input="".join(f"{sql}\t{text}\n" for sql, text, _ in asked), capture_output=True,
                         text=True)
    if php.returncode != 0:
        sys.exit("php: " + php.stderr[-400:])
    php_answers = php.stdout.split("\n")
    differing = []
    for n, (sql, text, _) in enumerate(asked):
        shell_sql = sql.replace("?", "'%s'" % text.replace("'", "''")) + ";"
        shell = subprocess.run(["sqlite3", "-readonly", "-cmd", ".load " + extension, index, shell_sql],
                               capture_output=True, text=True, check=True).stdout.split()
        answers = {"python": keys_csv(py.execute(sql, (text,))), "sqlite3 shell": ",".join(shell),
                   "php": php_answers[n]}
        for reader, keys in answers.items():
            if keys != engine[n]:
                differing.append({"query": text, "reader": reader, "keys": keys, "program": engine[n]})
    hits = sum(1 for n in range(len(asked)) if engine[n])
    return {"queries": len(asked), "with_hits": hits,
            "agreeing": len(asked) - len({d["query"] for d in differing}), "differing": differing}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--out", default=os.path.join(ROOT, "bench", "results", "readers.json"))
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)  # PHP loads extensions from an absolute folder only
    extension = os.path.join(args.build, "snowball", "lumora_snowball.so")
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        for language in SENTENCES:
            results[language] = ask_language(language, args.build, extension, folder)
    print("| Language | queries | with hits | agreeing | differing |")
    print("|---|---:|---:|---:|---:|")
    for language, r in results.items():
        print("| %s | %d | %d | %d | %d |" % (language, r["queries"], r["with_hits"], r["agreeing"],
                                             r["queries"] - r["agreeing"]))
    for language, r in results.items():
        for d in r["differing"]:
            print("%s: %s ranks %r for %r, the program %r" % (language, d["reader"], d["keys"], d["query"],
                                                             d["program"]))
    with open(args.out, "w", encoding="utf-8") as f:
        json.dump({"readers": ["program engine", "python", "sqlite3 shell", "php"], "languages": results}, f,
                  ensure_ascii=False, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
