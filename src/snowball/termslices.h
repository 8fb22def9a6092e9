/* The terms of an index's FTS5 table that begin with one character, read from the
 * index's own vocabulary once per process and kept while the file is the same. */
#ifndef LUMORA_SNOWBALL_TERMSLICES_H
#define LUMORA_SNOWBALL_TERMSLICES_H

#include <sys/stat.h>

#include "snowball/sqliteapi.h"

typedef struct Slice {
    struct Slice* next;
    char* key; /* the file's path, a NUL, the table's name */
    int keySize;
    struct stat file;
    unsigned first; /* the first character of its terms */
    int count;
    int* ends; /* of each term in terms */
    int* docs; /* the documents holding each term */
    char* terms;
    sqlite3_int64 bytes;
    sqlite3_uint64 used;
} Slice;

/* The slice of the table key names (the file's path, a NUL, the table's name) whose
 * terms begin with first, cached, or read now; NULL when out of memory or unreadable.
 * The caller holds SQLITE_MUTEX_STATIC_APP2 while it uses the slice. */
const Slice* lumora_terms_slice(const char* key, int keySize, const struct stat* file, unsigned first);

#endif
