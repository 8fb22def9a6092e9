/* Reading the whole vocabulary takes seconds on a large index (fts5vocab walks every
 * document list to count), but a correction never changes the first character, and
 * the terms of one first character are a range of the sorted vocabulary: each is read
 * when a word first needs it (GCIDE's largest, "s", in about 0.3 s) and kept for the
 * process, keyed by the file's identity (device, inode, size, modification time), so
 * a build that replaces the file is seen at the next query. The slices kept are
 * bounded in bytes; the least recently used go first. */
#include "snowball/termslices.h"

#include <string.h>

#include "snowball/tokenizer.h"
#include "snowball/utf8.h"

#define kMostCachedBytes (32 * 1024 * 1024)
#define kMostSliceBytes (8 * 1024 * 1024)

static Slice* gSlices;
static sqlite3_int64 gBytes;
static sqlite3_uint64 gClock;

static void FreeSlice(Slice* s) {
    sqlite3_free(s->key);
    sqlite3_free(s->ends);
    sqlite3_free(s->docs);
    sqlite3_free(s->terms);
    sqlite3_free(s);
}

static int SameFile(const struct stat* a, const struct stat* b) {
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino && a->st_size == b->st_size &&
           a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_mtim.tv_nsec == b->st_mtim.tv_nsec;
}

/* Drops the slices of an older file of the same name, and the least recently used
 * while the slices pass their bound (never keep). */
static void Evict(const char* key, int keySize, const struct stat* file, const Slice* keep) {
    for (Slice** at = &gSlices; *at;) {
        Slice* s = *at;
        if (s != keep && s->keySize == keySize && memcmp(s->key, key, (size_t)keySize) == 0 &&
            !SameFile(&s->file, file)) {
            *at = s->next;
            gBytes -= s->bytes;
            FreeSlice(s);
        } else {
            at = &s->next;
        }
    }
    while (gBytes > kMostCachedBytes) {
        Slice** oldest = NULL;
        for (Slice** at = &gSlices; *at; at = &(*at)->next)
            if (*at != keep && (!oldest || (*at)->used < (*oldest)->used)) oldest = at;
        if (!oldest) break;
        Slice* s = *oldest;
        *oldest = s->next;
        gBytes -= s->bytes;
        FreeSlice(s);
    }
}

static int Append(Slice* s, int* allocated, const char* term, int size, int docs) {
    const int start = s->count ? s->ends[s->count - 1] : 0;
    if (s->count == allocated[0] || start + size > allocated[1]) {
        allocated[0] = 2 * allocated[0] + 256, allocated[1] = 2 * (start + size) + 4096;
        int* ends = sqlite3_realloc64(s->ends, sizeof(int) * (sqlite3_uint64)allocated[0]);
        if (ends) s->ends = ends;
        int* counts = sqlite3_realloc64(s->docs, sizeof(int) * (sqlite3_uint64)allocated[0]);
        if (counts) s->docs = counts;
        char* terms = sqlite3_realloc64(s->terms, (sqlite3_uint64)allocated[1]);
        if (terms) s->terms = terms;
        if (!ends || !counts || !terms) return SQLITE_NOMEM;
    }
    memcpy(s->terms + start, term, (size_t)size);
    s->ends[s->count] = start + size;
    s->docs[s->count++] = docs;
    return SQLITE_OK;
}

/* The terms of the table that begin with the character first, read through a
 * connection of its own (the reader's may be busy or read-only), in term order. */
static int ReadTerms(Slice* s, const char* path, const char* table) {
    sqlite3* db = NULL;
    sqlite3_stmt* stmt = NULL;
    int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, NULL);
    lumora_snowball_create_tokenizer(db); /* an index of FTS5's own tokenizers needs none */
    char* sql = sqlite3_mprintf(
        "CREATE VIRTUAL TABLE temp.lumora_vocabulary USING fts5vocab(main, \"%w\", row)", table);
    if (rc == SQLITE_OK) rc = sql ? sqlite3_exec(db, sql, NULL, NULL, NULL) : SQLITE_NOMEM;
    sqlite3_free(sql);
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(db,
                                "SELECT term, doc FROM temp.lumora_vocabulary WHERE term >= ?1 AND term < ?2",
                                -1, &stmt, NULL);
    char from[4], to[4];
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(stmt, 1, from, Encode(s->first, from), SQLITE_STATIC);
        sqlite3_bind_text(stmt, 2, to, Encode(s->first + 1, to), SQLITE_STATIC);
    }
    int allocated[2] = {0, 0};
    while (rc == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW && s->bytes < kMostSliceBytes) {
        const int size = sqlite3_column_bytes(stmt, 0);
        rc = Append(s, allocated, (const char*)sqlite3_column_text(stmt, 0), size,
                    sqlite3_column_int(stmt, 1));
        s->bytes += size + 2 * (int)sizeof(int);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rc;
}

const Slice* lumora_terms_slice(const char* key, int keySize, const struct stat* file, unsigned first) {
    for (Slice* s = gSlices; s; s = s->next)
        if (s->first == first && s->keySize == keySize && memcmp(s->key, key, (size_t)keySize) == 0 &&
            SameFile(&s->file, file))
            return s->used = ++gClock, s;
    Slice* s = sqlite3_malloc64(sizeof(Slice));
    if (!s) return NULL;
    memset(s, 0, sizeof(*s));
    s->key = sqlite3_malloc(keySize);
    if (s->key) memcpy(s->key, key, (size_t)keySize);
    s->keySize = keySize, s->file = *file, s->first = first, s->used = ++gClock;
    if (!s->key || ReadTerms(s, key, key + strlen(key) + 1) != SQLITE_OK) {
        FreeSlice(s);
        return NULL;
    }
    gBytes += s->bytes;
    s->next = gSlices, gSlices = s;
    Evict(key, keySize, file, s);
    return s;
}
