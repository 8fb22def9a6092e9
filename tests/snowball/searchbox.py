#!/usr/bin/python3
"""The README's search box: lumora_match from the extension, the README's Python and
PHP builders of the same query, and its reader keeping results to a user's nodes.
   searchbox.py README EXTENSION
Every hostile input gives a query FTS5 accepts (results or none, never an error), the
same query from all three for valid UTF-8. Exits 1 with the wrong answers."""
import base64
import os
import re
import sqlite3
import subprocess
import sys
import tempfile

readme, extension = sys.argv[1], sys.argv[2]
text = open(readme, encoding="utf-8").read()
blocks = re.findall(r"```(python|php)\n(.*?)```", text, re.S)
py_builder = next(code for lang, code in blocks if lang == "python" and "def lumora_match" in code)
py_reader = next(code for lang, code in blocks if lang == "python" and "def search(" in code)
php_builder = next(code for lang, code in blocks if lang == "php" and "function lumora_match" in code)
readme_code = {}
exec(py_builder, readme_code)
exec(py_reader, readme_code)
readme_code["EXTENSION"] = extension
wrong = []

HOSTILE = ['"unbalanced', "-x", "e-mail", "l'eau", "c++", "50%", "a.b", "", "  \t\n ", "AND OR NOT",
           "NEAR(a b, 5)", "* ^ : ( ) + - { }", "*", "title:ocean", '"a b" c "d', '""', '"" ocea',
           "(" * 1000 + "ocean" + ")" * 1000, " ".join(f"word{i}" for i in range(10000)),
           "ocean OR " * 1000, "ü" * 600, "x\x00y ocean", "ocea", "Ocea",
           b"\xff\xfe ocean \xc3(", b"\xe2\x82", b"\xed\xa0\x80 \xf4\x90\x80\x80 ocea"]

work = tempfile.mkdtemp()
index, app = os.path.join(work, "index.db"), os.path.join(work, "app.db")
db = sqlite3.connect(index)
db.enable_load_extension(True)
db.load_extension(extension)
db.executescript("""
    CREATE VIRTUAL TABLE documents USING fts5(key UNINDEXED, TITLE, BODY, URL UNINDEXED,
        NODEID UNINDEXED, tokenize = 'snowball english');
    INSERT INTO documents VALUES (1, 'Ocean liners', 'An e-mail about the oceans', '/1', 111),
        (2, 'C++ <at> 50%', 'l''eau, a.b and word7', '/2', 110),
        (3, 'Office', 'Oceanic spreadsheets', '/3', 121),
        (4, 'Fishing', 'A net of rope, mended on the quay by the old men of the harbour', '/4', 130),
        (5, 'Networks', 'network networks networking', '/5', 131);""")
db.commit()
apps = sqlite3.connect(app)
apps.executescript("""CREATE TABLE USERNODE (USERID TEXT, CATALOGID INTEGER, NODEID INTEGER);
    INSERT INTO USERNODE VALUES ('alice', 1, 110), ('alice', 1, 111), ('alice', 2, 210);""")
apps.commit()


def keys(query):
    try:
        return sorted(k for (k,) in db.execute("SELECT key FROM documents WHERE documents MATCH ?", (query,)))
    except sqlite3.Error as e:
        wrong.append(f"MATCH {query[:60]!r}: {e}")
        return None


# The PHP builder, and PHP's own reader loading the extension, over every input at once.
php = os.path.join(work, "match.php")
with open(php, "w", encoding="utf-8") as f:
    f.write(php_builder + """
$db = new SQLite3($argv[1], SQLITE3_OPEN_READONLY);
$db->enableExceptions(true);
$db->loadExtension(basename($argv[2]));
foreach (file('php://stdin', FILE_IGNORE_NEW_LINES) as $line) {
    $q = lumora_match(base64_decode($line));
    try {
        $st = $db->prepare('SELECT count(*) FROM documents WHERE documents MATCH :q');
        $st->bindValue(':q', $q, SQLITE3_TEXT);
        $n = $st->execute()->fetchArray()[0];
    } catch (Exception $e) {
        $n = 'error: ' . $e->getMessage();
    }
    echo base64_encode($q), "\\t", $n, "\\n";
}
""")
raw = [h if isinstance(h, bytes) else h.encode("utf-8") for h in HOSTILE]
out = subprocess.run(["php", "-d", "sqlite3.extension_dir=" + os.path.dirname(extension), php, index, extension],
                     input="\n".join(base64.b64encode(r).decode() for r in raw) + "\n",
                     capture_output=True, text=True)
php_answers = [line.split("\t") for line in out.stdout.splitlines()]
if out.returncode != 0 or len(php_answers) != len(HOSTILE):
    wrong.append(f"php: {out.returncode} {out.stderr[:400]}")
    php_answers = [("", "0")] * len(HOSTILE)

for value, (php_query, php_count) in zip(HOSTILE, php_answers):
    (c_query,) = db.execute("SELECT lumora_match(?)", (value,)).fetchone()
    found = keys(c_query)
    if not php_count.isdigit():
        wrong.append(f"php: {value[:40]!r}: {php_count}")
    if isinstance(value, str):
        py_query = readme_code["lumora_match"](value)
        php_query = base64.b64decode(php_query).decode("utf-8")
        if not (py_query == c_query == php_query):
            wrong.append(f"{value[:40]!r}: extension {c_query[:60]!r}, Python {py_query[:60]!r}, PHP {php_query[:60]!r}")
        elif found is not None and php_count.isdigit() and int(php_count) != len(found):
            wrong.append(f"{value[:40]!r}: PHP finds {php_count}, Python {len(found)}")

expected = {"ocea": [1, 3], "e-mail": [1], "c++": [2], "l'eau": [2], "a.b": [2], "50%": [2], "": [],
            "title:ocean": [], " ".join(f"word{i}" for i in range(10000)): []}
for value, want in expected.items():
    (query,) = db.execute("SELECT lumora_match(?)", (value,)).fetchone()
    if keys(query) != want:
        wrong.append(f"{value[:40]!r} finds {keys(query)}, not {want}")
# Ranked: the word itself before the longer words it begins, however often they come.
for value, want in {"net": [4, 5], "ropes net": [4], "Networks": [5]}.items():
    ranked = [k for (k,) in db.execute("SELECT key FROM documents WHERE documents MATCH lumora_match(?)"
                                       " ORDER BY rank", (value,))]
    if ranked != want:
        wrong.append(f"{value!r} ranks {ranked}, not {want}")

# lumora_match(text, 'documents'): misspellings (one edit from 5 letters, two from 9,
# none in the first) find the entries of the word meant, ranked first; a word the
# index holds, as typed or as a beginning, is never replaced.
TYPOS = {"harbuor": [4], "fihsing": [4], "netwroks": [5], "spredsheets": [3], "spraedshets": [3],
         "ocaen liners": [1], "harbour mneded": [4], "rpoe": [], "hraobur": [], "obean": [1, 3],
         "netwrok": [5]}
for value, want in TYPOS.items():
    (query,) = db.execute("SELECT lumora_match(?, 'documents')", (value,)).fetchone()
    ranked = [k for (k,) in db.execute("SELECT key FROM documents WHERE documents MATCH ? ORDER BY rank", (query,))]
    if ranked[:len(want)] != want or (not want and ranked):
        wrong.append(f"{value!r} as {query!r} ranks {ranked}, not {want} first")
for value in ("harbour", "ocea", "Networks net", '"old men"', "spreadsheets", "mended quay", "e-mail"):
    if db.execute("SELECT lumora_match(?, 'documents') = lumora_match(?)", (value, value)).fetchone() != (1,):
        wrong.append(f"{value!r} is corrected: {db.execute('SELECT lumora_match(?, ?)', (value, 'documents')).fetchone()}")
# The vocabulary kept is the file's: a word added later is offered in the same process.
db.execute("INSERT INTO documents VALUES (6, 'Hangar', 'a hangar for airships', '/6', 140)")
db.commit()
(query,) = db.execute("SELECT lumora_match('hnagar', 'documents')").fetchone()
if query != '("hangar")':
    wrong.append(f"hnagar after the index changed: {query!r}")
try:
    db.execute("SELECT lumora_match('x', 'nosuch')").fetchone()
    wrong.append("a table that is not there is not named")
except sqlite3.Error as e:
    if "no such table" not in str(e):
        wrong.append(f"a table that is not there: {e}")

# The README's reader: alice sees nodes 110, 111 and 210, so not document 3 (node 121).
for user, want in (("alice", ["1"]), ("bob", [])):
    got = [str(k) for k, url, snippet in readme_code["search"](index, app, user, "ocea")]
    if got != want:
        wrong.append(f"search for {user}: {got}, not {want}")
# Its snippet: the document's text escaped for HTML, the matched terms bold.
snippets = [snippet for k, url, snippet in readme_code["search"](index, app, "alice", "c++")]
if snippets != ["<b>C</b>++ &lt;at&gt; 50%"]:
    wrong.append(f"snippets {snippets}")

print("\n".join(wrong))
sys.exit(1 if wrong else 0)
