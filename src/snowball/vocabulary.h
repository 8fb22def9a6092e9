/* What lumora_match(text, table) shares inside this folder: the query builder with a
 * corrector, and the corrector that reads the index's own vocabulary. */
#ifndef LUMORA_SNOWBALL_VOCABULARY_H
#define LUMORA_SNOWBALL_VOCABULARY_H

#include "snowball/sqliteapi.h"

/* The most bytes a corrector writes for one word. */
#define LUMORA_CORRECTION_ROOM 1200

/* For a word outside quotes (size bytes of valid UTF-8, no quote in it): 0 when the
 * index holds it as typed (or, asPrefix, a word it begins) or offers nothing for it;
 * else the length of what it wrote into out (at most room bytes): the terms to search
 * instead, as an FTS5 item; or minus an SQLite error code. */
typedef int (*lumora_correct)(void* context, const char* word, int size, int asPrefix, char* out, int room);

/* lumora_match_query's rules, each word outside quotes given to correct (NULL: none).
 * *rc (when rc is not NULL) is the first error correct returned. */
char* lumora_match_build(const char* text, int size, lumora_correct correct, void* context, int* rc);

/* The arguments of lumora_correct for an FTS5 table of the connection's main file. */
typedef struct LumoraIndex {
    sqlite3* db;
    const char* table;
} LumoraIndex;

/* A lumora_correct for a LumoraIndex: Damerau-Levenshtein (adjacent transpositions),
 * one edit for words of 5 or more characters, two from 9, none in the first, against
 * the terms of the index. */
int lumora_vocabulary_correct(void* index, const char* word, int size, int asPrefix, char* out, int room);

/* Registers the FTS5 function lumora_tokens(TABLE, text): the terms the table's
 * tokenizer makes of text, separated by spaces. */
int lumora_vocabulary_register(sqlite3* db);

#endif
