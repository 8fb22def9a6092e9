/* What the tokenizer's file shares with the rest of this folder. */
#ifndef LUMORA_SNOWBALL_TOKENIZER_H
#define LUMORA_SNOWBALL_TOKENIZER_H

#include "snowball/sqliteapi.h"

/* The FTS5 of db (version 2 or later), or NULL. */
fts5_api* lumora_snowball_fts5(sqlite3* db);

/* Registers the tokenizer with the FTS5 of db; SQLITE_ERROR when db has no FTS5. */
int lumora_snowball_create_tokenizer(sqlite3* db);

/* libstemmer's own name for a language named in any case, or NULL. */
const char* lumora_snowball_language(const char* name);

/* How many of the tokenizer's arguments are languages: those before "unicode61". */
int lumora_snowball_language_count(const char* const* args, int count);

#endif
