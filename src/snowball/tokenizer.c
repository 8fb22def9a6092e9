/* The FTS5 tokenizer "snowball LANGUAGE [LANGUAGE...] [unicode61 OPTION VALUE...]".
 *
 * FTS5's own unicode61 splits the text and folds case, with diacritics kept; each
 * word is then stemmed, and only the stem loses its diacritics, by a second unicode61
 * made with the options given (remove_diacritics 1 when none is given, as unicode61
 * itself). Stemming first is what the Snowball algorithms expect: the German one
 * turns umlauts into their base letters itself, the French and Spanish ones read
 * accents to find suffixes, and Russian's й or Greek's accented endings would be lost
 * to a stemmer that saw them removed. With several languages a word takes the stem of
 * the first language whose stemmer changes it, the same rule for documents and
 * queries, so a word and its inflections still meet in one term.
 *
 * Where diacritics are removed, a document's word with diacritics is also indexed, at
 * the same place (FTS5_TOKEN_COLOCATED), as the stem of the word without them when that
 * differs: the algorithms read accents in suffixes, so "información" stems to "inform"
 * but "informacion", as a person types it, to "informacion", which the document then
 * holds too. Queries get no such second term: the word typed is looked up as typed. */
#include "snowball/tokenizer.h"

#include <libstemmer.h>
#include <string.h>

#include "snowball/sqliteapi.h"

/* Longer "words" (hashes, base64, runs of letters) are indexed unstemmed: no language
 * has words this long, and a stemmer's time grows with the word. 128 bytes hold 64
 * Cyrillic or Greek letters. */
#define kLongestStemmed 128

/* Words repeat (a few thousand make up most of any text), and a Snowball stemmer
 * costs more than the rest of the tokenizer, so each instance remembers the tokens of
 * the words it met last: a slot per hash of the word, the newest word keeping it. */
#define kCacheSlots 8192
#define kCachedBytes 30

typedef struct Cached {
    unsigned char wordSize; /* 0: an empty slot */
    unsigned char tokenSize;
    unsigned char bareSize; /* 0: no second term */
    char word[kCachedBytes];
    char token[kCachedBytes];
    char bare[kCachedBytes]; /* the stem of the word without its diacritics */
} Cached;

typedef struct Snowball {
    fts5_tokenizer unicode;       /* unicode61's methods */
    Fts5Tokenizer* split;         /* unicode61 keeping diacritics: the words, case folded */
    Fts5Tokenizer* strip;         /* unicode61 as the options say, for non-ASCII stems; NULL keeps them */
    struct sb_stemmer** stemmers; /* one per language, in the order given */
    int stemmerCount;
    char* buffer; /* a stem without its diacritics */
    int used;
    int allocated;
    Cached* cache; /* kCacheSlots */
} Snowball;

typedef struct Call {
    Snowball* tokenizer;
    void* context;
    int (*token)(void*, int, const char*, int, int, int);
    int flags; /* the tokenize call's: documents get the second term */
} Call;

static int SameText(const char* a, const char* b) {
    return sqlite3_stricmp(a, b) == 0;
}

const char* lumora_snowball_language(const char* name) {
    const char** list = sb_stemmer_list();
    for (int i = 0; list[i]; ++i)
        if (SameText(list[i], name)) return list[i];
    return NULL;
}

int lumora_snowball_language_count(const char* const* args, int count) {
    int i = 0;
    while (i < count && !SameText(args[i], "unicode61")) ++i;
    return i;
}

static void Delete(Fts5Tokenizer* handle) {
    Snowball* p = (Snowball*)handle;
    if (!p) return;
    if (p->split) p->unicode.xDelete(p->split);
    if (p->strip) p->unicode.xDelete(p->strip);
    for (int i = 0; i < p->stemmerCount; ++i) sb_stemmer_delete(p->stemmers[i]);
    sqlite3_free(p->stemmers);
    sqlite3_free(p->buffer);
    sqlite3_free(p->cache);
    sqlite3_free(p);
}

/* unicode61's own default is to remove diacritics; the last value given counts. */
static int RemovesDiacritics(const char* const* options, int count) {
    int remove = 1;
    for (int i = 0; i + 1 < count; i += 2)
        if (SameText(options[i], "remove_diacritics")) remove = options[i + 1][0] != '0';
    return remove;
}

static int CreateUnicode(Snowball* p, void* unicodeData, const char* const* options, int count) {
    const char** keeping = sqlite3_malloc64(sizeof(char*) * (size_t)(count + 2));
    if (!keeping) return SQLITE_NOMEM;
    memcpy(keeping, options, sizeof(char*) * (size_t)count);
    keeping[count] = "remove_diacritics";
    keeping[count + 1] = "0";
    int rc = p->unicode.xCreate(unicodeData, keeping, count + 2, &p->split);
    sqlite3_free(keeping);
    if (rc == SQLITE_OK && RemovesDiacritics(options, count))
        rc = p->unicode.xCreate(unicodeData, (const char**)options, count, &p->strip);
    return rc;
}

static int CreateStemmers(Snowball* p, const char* const* languages, int count) {
    if (count == 0) return SQLITE_ERROR;
    p->stemmers = sqlite3_malloc64(sizeof(struct sb_stemmer*) * (size_t)count);
    if (!p->stemmers) return SQLITE_NOMEM;
    for (int i = 0; i < count; ++i) {
        const char* name = lumora_snowball_language(languages[i]);
        if (!name) return SQLITE_ERROR;
        p->stemmers[i] = sb_stemmer_new(name, "UTF_8");
        if (!p->stemmers[i]) return SQLITE_NOMEM;
        p->stemmerCount = i + 1;
    }
    return SQLITE_OK;
}

/* The user data is the connection's fts5_api, where unicode61 is found. */
static int Create(void* api, const char** args, int count, Fts5Tokenizer** out) {
    *out = NULL;
    Snowball* p = sqlite3_malloc64(sizeof(Snowball));
    if (!p) return SQLITE_NOMEM;
    memset(p, 0, sizeof(*p));
    p->cache = sqlite3_malloc64(sizeof(Cached) * kCacheSlots);
    if (!p->cache) {
        sqlite3_free(p);
        return SQLITE_NOMEM;
    }
    memset(p->cache, 0, sizeof(Cached) * kCacheSlots);
    void* unicodeData = NULL;
    fts5_api* fts5 = (fts5_api*)api;
    int rc = fts5->xFindTokenizer(fts5, "unicode61", &unicodeData, &p->unicode);
    const int languages = lumora_snowball_language_count(args, count);
    if (rc == SQLITE_OK) rc = CreateStemmers(p, args, languages);
    if (rc == SQLITE_OK) {
        const int first = languages < count ? languages + 1 : count;
        rc = CreateUnicode(p, unicodeData, args + first, count - first);
    }
    if (rc != SQLITE_OK) {
        Delete((Fts5Tokenizer*)p);
        return rc;
    }
    *out = (Fts5Tokenizer*)p;
    return SQLITE_OK;
}

/* Points *stem at the stem of the first language that changes the word, else at the
 * word; a stemmer's result lives until its next call. */
static int Stem(Snowball* p, const char* word, int size, const char** stem, int* stemSize) {
    *stem = word;
    *stemSize = size;
    if (size > kLongestStemmed) return SQLITE_OK;
    for (int i = 0; i < p->stemmerCount; ++i) {
        const sb_symbol* s = sb_stemmer_stem(p->stemmers[i], (const sb_symbol*)word, size);
        if (!s) return SQLITE_NOMEM;
        const int n = sb_stemmer_length(p->stemmers[i]);
        if (n == 0) break; /* a word is never indexed as nothing */
        if (n != size || memcmp(s, word, (size_t)size) != 0) {
            *stem = (const char*)s;
            *stemSize = n;
            break;
        }
    }
    return SQLITE_OK;
}

static int Append(void* handle, int flags, const char* piece, int size, int start, int end) {
    (void)flags, (void)start, (void)end;
    Snowball* p = handle;
    if (p->used + size > p->allocated) {
        const int allocated = 2 * (p->used + size) + 32;
        char* grown = sqlite3_realloc64(p->buffer, (sqlite3_uint64)allocated);
        if (!grown) return SQLITE_NOMEM;
        p->buffer = grown;
        p->allocated = allocated;
    }
    memcpy(p->buffer + p->used, piece, (size_t)size);
    p->used += size;
    return SQLITE_OK;
}

static int IsAscii(const char* s, int size) {
    for (int i = 0; i < size; ++i)
        if ((unsigned char)s[i] >= 0x80) return 0;
    return 1;
}

/* The stem without its diacritics: unicode61 run on the stem alone, its pieces (one,
 * but for a stem that ends up holding a separator) put together again. */
static int Strip(Snowball* p, const char** text, int* size) {
    if (!p->strip || IsAscii(*text, *size)) return SQLITE_OK;
    p->used = 0;
    const int rc = p->unicode.xTokenize(p->strip, p, FTS5_TOKENIZE_DOCUMENT, *text, *size, Append);
    if (rc == SQLITE_OK && p->used > 0) {
        *text = p->buffer;
        *size = p->used;
    }
    return rc;
}

static Cached* Slot(Snowball* p, const char* word, int size) {
    unsigned hash = 2166136261u; /* FNV-1a */
    for (int i = 0; i < size; ++i) hash = (hash ^ (unsigned char)word[i]) * 16777619u;
    return &p->cache[hash & (kCacheSlots - 1)];
}

/* The second term of a word with diacritics: the stem of the word without them, when
 * that differs from the first term, kept in the slot when there is one. */
static int Bare(Call* call, const char* word, int size, const char* first, int firstSize, Cached* slot,
                int start, int end) {
    Snowball* p = call->tokenizer;
    if (!p->strip || size > kLongestStemmed || IsAscii(word, size)) return SQLITE_OK;
    const char* bare = word;
    int bareSize = size;
    int rc = Strip(p, &bare, &bareSize);
    if (rc != SQLITE_OK || (bareSize == size && memcmp(bare, word, (size_t)size) == 0)) return rc;
    char copy[kLongestStemmed];
    if (bareSize > kLongestStemmed) return SQLITE_OK;
    memcpy(copy, bare, (size_t)bareSize);
    rc = Stem(p, copy, bareSize, &bare, &bareSize);
    if (rc == SQLITE_OK) rc = Strip(p, &bare, &bareSize);
    if (rc != SQLITE_OK || (bareSize == firstSize && memcmp(bare, first, (size_t)firstSize) == 0)) return rc;
    if (slot && bareSize > kCachedBytes) slot->wordSize = 0; /* a slot that cannot hold both */
    if (slot && bareSize <= kCachedBytes) {
        slot->bareSize = (unsigned char)bareSize;
        memcpy(slot->bare, bare, (size_t)bareSize);
    }
    if (!(call->flags & FTS5_TOKENIZE_DOCUMENT)) return SQLITE_OK;
    return call->token(call->context, FTS5_TOKEN_COLOCATED, bare, bareSize, start, end);
}

static int OnWord(void* handle, int flags, const char* word, int size, int start, int end) {
    Call* call = handle;
    Cached* slot = size <= kCachedBytes ? Slot(call->tokenizer, word, size) : NULL;
    if (slot && slot->wordSize == size && memcmp(slot->word, word, (size_t)size) == 0) {
        int rc = call->token(call->context, flags, slot->token, slot->tokenSize, start, end);
        if (rc == SQLITE_OK && slot->bareSize && (call->flags & FTS5_TOKENIZE_DOCUMENT))
            rc = call->token(call->context, FTS5_TOKEN_COLOCATED, slot->bare, slot->bareSize, start, end);
        return rc;
    }
    const char* stem = NULL;
    int stemSize = 0;
    int rc = Stem(call->tokenizer, word, size, &stem, &stemSize);
    if (rc == SQLITE_OK) rc = Strip(call->tokenizer, &stem, &stemSize);
    if (rc != SQLITE_OK) return rc;
    if (stemSize > kCachedBytes) slot = NULL;
    if (slot) {
        slot->wordSize = (unsigned char)size;
        slot->tokenSize = (unsigned char)stemSize;
        slot->bareSize = 0;
        memcpy(slot->word, word, (size_t)size);
        memcpy(slot->token, stem, (size_t)stemSize);
    }
    rc = call->token(call->context, flags, stem, stemSize, start, end);
    /* The first term, where the next stem or strip cannot overwrite it. */
    char first[kLongestStemmed];
    if (rc != SQLITE_OK || stemSize > kLongestStemmed) return rc;
    memcpy(first, stem, (size_t)stemSize);
    return Bare(call, word, size, first, stemSize, slot, start, end);
}

static int Tokenize(Fts5Tokenizer* handle, void* context, int flags, const char* text, int size,
                    int (*token)(void*, int, const char*, int, int, int)) {
    Snowball* p = (Snowball*)handle;
    Call call = {p, context, token, flags};
    return p->unicode.xTokenize(p->split, &call, flags, text, size, OnWord);
}

fts5_api* lumora_snowball_fts5(sqlite3* db) {
    fts5_api* api = NULL;
    sqlite3_stmt* stmt = NULL;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &stmt, NULL) != SQLITE_OK) return NULL;
    sqlite3_bind_pointer(stmt, 1, (void*)&api, "fts5_api_ptr", NULL);
    sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    return api && api->iVersion >= 2 ? api : NULL;
}

int lumora_snowball_create_tokenizer(sqlite3* db) {
    fts5_api* api = lumora_snowball_fts5(db);
    if (!api) return SQLITE_ERROR;
    static fts5_tokenizer methods = {Create, Delete, Tokenize};
    return api->xCreateTokenizer(api, "snowball", api, &methods, NULL);
}
