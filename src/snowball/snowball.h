/* The FTS5 tokenizer "snowball" (Snowball stemming of libstemmer on FTS5's own
 * unicode61) and the SQL function lumora_match(text): registered inside the program
 * and, from the same source, by the loadable extension lumora_snowball.so. */
#ifndef LUMORA_SNOWBALL_SNOWBALL_H
#define LUMORA_SNOWBALL_SNOWBALL_H

#include <sqlite3.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Registers the tokenizer and lumora_match on every connection this process opens
 * from now on (the program's own and those of Qt's SQLite driver, which share the
 * system's libsqlite3). Returns an SQLite result code; safe to call more than once. */
int lumora_snowball_register_everywhere(void);

/* Registers both on one connection. Returns SQLITE_OK, or SQLITE_ERROR when the
 * connection's SQLite has no FTS5 (lumora_match is registered all the same). */
int lumora_snowball_register(sqlite3* db);

/* For the text of a tokenize= setting: 0 when it does not name snowball or names it
 * with known languages and well-formed unicode61 options; otherwise 1 and a sentence
 * saying what is wrong (an unknown language named, with the known ones listed) in
 * out, cut to size bytes. */
int lumora_snowball_setting_problem(const char* setting, char* out, int size);

/* The version of the Debian libstemmer package this was built with ("2.2.0-2"). */
const char* lumora_snowball_libstemmer_version(void);

/* The FTS5 query for text a person typed into a search box (n bytes, any bytes),
 * allocated with sqlite3_malloc (NULL when out of memory). See match.c. */
char* lumora_match_query(const char* text, int n);

#ifdef __cplusplus
}
#endif

#endif
