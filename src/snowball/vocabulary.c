/* The corrections of lumora_match(text, table): for a word the index does not hold,
 * the terms of that index within a small edit distance, from the index's own
 * vocabulary (FTS5's fts5vocab over the table, kept by termslices.c), so that a
 * reader needs nothing but the file. */
#include "snowball/vocabulary.h"

#include <string.h>
#include <sys/stat.h>

#include "snowball/termslices.h"
#include "snowball/tokenizer.h"
#include "snowball/utf8.h"

/* More candidates find more intended words but rank them lower: with 3, GCIDE's
 * misspellings found their entry most often (bench/searchbox.py). */
#define kMostCorrections 3
/* Longer words are not corrected, so that the terms offered fit their room. */
#define kMostCharacters 40

/* The optimal string alignment distance of a and b (Levenshtein's edits and the swap
 * of two neighbours, each stretch edited once), or most + 1 as soon as it must pass
 * most. With prefix, that of a and the closest beginning of b, *rest then the
 * characters of b after that beginning. */
static int Distance(const unsigned* a, int n, const unsigned* b, int m, int most, int prefix, int* rest) {
    if ((!prefix && (n - m > most || m - n > most)) || n - m > most) return most + 1;
    int rows[3][kMostCharacters + 4];
    int *before = rows[0], *previous = rows[1], *current = rows[2];
    for (int j = 0; j <= m; ++j) previous[j] = j;
    for (int i = 1; i <= n; ++i) {
        current[0] = i;
        int best = i;
        for (int j = 1; j <= m; ++j) {
            int d = previous[j - 1] + (a[i - 1] != b[j - 1]);
            if (previous[j] + 1 < d) d = previous[j] + 1;
            if (current[j - 1] + 1 < d) d = current[j - 1] + 1;
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1] && before[j - 2] + 1 < d)
                d = before[j - 2] + 1;
            current[j] = d;
            if (d < best) best = d;
        }
        if (best > most) return most + 1;
        int* spare = before;
        before = previous, previous = current, current = spare;
    }
    int at = m;
    for (int j = m - 1; prefix && j >= 0; --j)
        if (previous[j] < previous[at]) at = j;
    if (rest) *rest = m - at;
    return previous[at];
}

typedef struct Found {
    int term;
    int score; /* fewer edits first; a term that only begins the word after all others */
    int docs;
} Found;

/* A word as typed (case folded) and the term the index's tokenizer makes of it. */
typedef struct Typed {
    unsigned word[kMostCharacters];
    int n;
    unsigned term[kMostCharacters];
    int m;
    int most; /* edits allowed */
} Typed;

/* How far a term is from the word or from its term (a misspelt suffix often stems
 * otherwise than the word), the first character never edited: the edits, or, for a
 * stem the index made of a longer word (the word typed begins with it, give or take
 * the edits), more than any whole word. Above 3 * most + kMostCharacters: too far. */
static int Score(const Typed* typed, const unsigned* term, int m) {
    const int most = typed->most, far = 3 * most + kMostCharacters + 1;
    int d = Distance(typed->term + 1, typed->m - 1, term + 1, m - 1, most, 0, NULL);
    if (typed->word[0] != term[0]) return d > most ? far : d;
    const int asTyped = Distance(typed->word + 1, typed->n - 1, term + 1, m - 1, most, 0, NULL);
    if (asTyped < d) d = asTyped;
    if (d <= most) return d;
    int rest = 0;
    if (2 * m < typed->n || m < 4) return far;
    d = Distance(term + 1, m - 1, typed->word + 1, typed->n - 1, most, 1, &rest);
    return d > most ? far : most + 1 + 2 * d + rest;
}

/* The closest terms of the slice, best score first, then those most documents hold.
 * Returns how many. */
static int Closest(const Slice* s, const Typed* typed, Found* found) {
    int count = 0;
    unsigned term[kMostCharacters + 2];
    for (int t = 0; t < s->count; ++t) {
        const int start = t ? s->ends[t - 1] : 0;
        const int m = CodePoints(s->terms + start, s->ends[t] - start, term, kMostCharacters + 2, 0);
        if (m < 1) continue;
        const int score = Score(typed, term, m);
        if (score > 3 * typed->most + kMostCharacters || score == 0) continue;
        Found f = {t, score, s->docs[t]};
        int at = count < kMostCorrections ? count++ : kMostCorrections;
        while (at > 0 && (found[at - 1].score > score ||
                          (found[at - 1].score == score && found[at - 1].docs < f.docs))) {
            if (at < kMostCorrections) found[at] = found[at - 1];
            --at;
        }
        if (at < kMostCorrections) found[at] = f;
    }
    return count;
}

/* A term as the query must spell it: a query word goes through the tokenizer again,
 * and a stem need not stem to itself ("catchwe", from "catchweed", stems to
 * "catchw"); so the first of the term and a few endings on it that the tokenizer
 * turns into the term. 0 when none does. */
#define kMostTermBytes (4 * (kMostCharacters + 2))
static const char* const kEndings[] = {"",   "e",   "s",     "ed",   "ing",  "es",  "er",  "ion", "al", "ly",
                                       "ic", "ate", "ation", "ness", "ment", "ous", "ive", "en",  "a",  "o"};
#define kEndingCount (int)(sizeof(kEndings) / sizeof(kEndings[0]))

static int Spelling(const LumoraIndex* x, const char* term, int size, char* out) {
    sqlite3_str* forms = sqlite3_str_new(NULL);
    for (int i = 0; i < kEndingCount; ++i)
        sqlite3_str_appendf(forms, "%s%.*s%s", i ? " " : "", size, term, kEndings[i]);
    if (size > 1 && term[size - 1] == 'i') sqlite3_str_appendf(forms, " %.*sy", size - 1, term);
    char* text = sqlite3_str_finish(forms);
    char* sql =
        sqlite3_mprintf("SELECT lumora_tokens(\"%w\", ?1) FROM main.\"%w\" LIMIT 1", x->table, x->table);
    sqlite3_stmt* stmt = NULL;
    int found = 0;
    if (text && sql && sqlite3_prepare_v2(x->db, sql, -1, &stmt, NULL) == SQLITE_OK) {
        sqlite3_bind_text(stmt, 1, text, -1, SQLITE_STATIC);
        const char* tokens =
            sqlite3_step(stmt) == SQLITE_ROW ? (const char*)sqlite3_column_text(stmt, 0) : NULL;
        /* Form i gave token i, as long as each gave one. */
        for (const char *token = tokens, *form = text; token && *token && *form && !found;) {
            const int tokenSize = (int)strcspn(token, " "), formSize = (int)strcspn(form, " ");
            if (tokenSize == size && memcmp(token, term, (size_t)size) == 0 && formSize < kMostTermBytes + 8)
                memcpy(out, form, (size_t)formSize), found = formSize;
            token += tokenSize + (token[tokenSize] == ' ');
            form += formSize + (form[formSize] == ' ');
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_free(sql);
    sqlite3_free(text);
    return found;
}

/* The terms found, spelt for the query, as one FTS5 item: ("a" OR "b"), each quoted. */
static int Write(const LumoraIndex* x, char terms[][kMostTermBytes], const int* sizes, int count, char* out) {
    int used = 0, written = 0;
    out[used++] = '(';
    for (int i = 0; i < count; ++i) {
        char form[kMostTermBytes + 8];
        const int size = Spelling(x, terms[i], sizes[i], form);
        if (!size) continue;
        if (written++) memcpy(out + used, " OR ", 4), used += 4;
        out[used++] = '"';
        for (int b = 0; b < size; ++b) {
            if (form[b] == '"') out[used++] = '"';
            out[used++] = form[b];
        }
        out[used++] = '"';
    }
    out[used++] = ')';
    return written ? used : 0;
}

/* 1 when the table holds the word (or a word it begins), 0 when not, or minus an
 * SQLite error code (the connection's message says which). */
static int Held(sqlite3* db, const char* table, const char* word, int size, int asPrefix) {
    char* sql = sqlite3_mprintf("SELECT 1 FROM main.\"%w\" WHERE \"%w\" MATCH ?1 LIMIT 1", table, table);
    char* query = sqlite3_mprintf("\"%.*s\"%s", size, word, asPrefix ? "*" : "");
    sqlite3_stmt* stmt = NULL;
    int rc = sql && query ? sqlite3_prepare_v2(db, sql, -1, &stmt, NULL) : SQLITE_NOMEM;
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(stmt, 1, query, -1, SQLITE_STATIC);
        rc = sqlite3_step(stmt);
    }
    sqlite3_finalize(stmt);
    sqlite3_free(sql);
    sqlite3_free(query);
    return rc == SQLITE_ROW ? 1 : rc == SQLITE_DONE ? 0 : -rc;
}

/* The one term the table's tokenizer makes of the word (0 when none or several). */
static int Term(sqlite3* db, const char* table, const char* word, int size, unsigned* out) {
    char* sql = sqlite3_mprintf("SELECT lumora_tokens(\"%w\", ?1) FROM main.\"%w\" LIMIT 1", table, table);
    sqlite3_stmt* stmt = NULL;
    int m = sql && sqlite3_prepare_v2(db, sql, -1, &stmt, NULL) == SQLITE_OK ? 0 : -SQLITE_NOMEM;
    sqlite3_free(sql);
    if (m == 0) {
        sqlite3_bind_text(stmt, 1, word, size, SQLITE_STATIC);
        const char* term =
            sqlite3_step(stmt) == SQLITE_ROW ? (const char*)sqlite3_column_text(stmt, 0) : NULL;
        if (term && *term && !strchr(term, ' '))
            m = CodePoints(term, sqlite3_column_bytes(stmt, 0), out, kMostCharacters, 0);
    }
    sqlite3_finalize(stmt);
    return m > 0 ? m : 0;
}

int lumora_vocabulary_correct(void* index, const char* word, int size, int asPrefix, char* out, int room) {
    const LumoraIndex* x = index;
    const int held = Held(x->db, x->table, word, size, asPrefix);
    if (held) return held > 0 ? 0 : held;
    Typed typed;
    typed.n = CodePoints(word, size, typed.word, kMostCharacters, 1);
    typed.most = typed.n >= 9 ? 2 : typed.n >= 5 ? 1 : 0;
    typed.m = typed.most ? Term(x->db, x->table, word, size, typed.term) : 0;
    const char* path = sqlite3_db_filename(x->db, "main");
    struct stat file;
    if (!typed.m || !path || !*path || stat(path, &file) != 0) return 0; /* nothing to correct, or no file */
    const int pathSize = (int)strlen(path), keySize = pathSize + 1 + (int)strlen(x->table);
    char* key = sqlite3_malloc(keySize + 1);
    if (!key) return -SQLITE_NOMEM;
    memcpy(key, path, (size_t)pathSize + 1);
    memcpy(key + pathSize + 1, x->table, strlen(x->table) + 1);
    sqlite3_mutex* mutex = sqlite3_mutex_alloc(SQLITE_MUTEX_STATIC_APP2);
    sqlite3_mutex_enter(mutex);
    const Slice* s = lumora_terms_slice(key, keySize, &file, typed.term[0]);
    Found found[kMostCorrections];
    const int count = s ? Closest(s, &typed, found) : 0;
    /* Copied out, so that no other thread waits while they are spelt. */
    char terms[kMostCorrections][kMostTermBytes];
    int sizes[kMostCorrections];
    for (int i = 0; i < count; ++i) {
        const int start = found[i].term ? s->ends[found[i].term - 1] : 0;
        sizes[i] = s->ends[found[i].term] - start;
        memcpy(terms[i], s->terms + start, (size_t)sizes[i]);
    }
    sqlite3_mutex_leave(mutex);
    sqlite3_free(key);
    /* Each term quoted, its quotes doubled, an ending added, and the ORs between. */
    _Static_assert(kMostCorrections * (2 * (kMostTermBytes + 8) + 6) + 2 <= LUMORA_CORRECTION_ROOM,
                   "corrections that do not fit their room");
    (void)room;
    return Write(x, terms, sizes, count, out);
}

static int OnToken(void* context, int flags, const char* token, int size, int start, int end) {
    (void)start, (void)end;
    sqlite3_str* out = context;
    if (flags & FTS5_TOKEN_COLOCATED) return SQLITE_OK;
    if (sqlite3_str_length(out)) sqlite3_str_appendchar(out, 1, ' ');
    sqlite3_str_append(out, token, size);
    return SQLITE_OK;
}

static void Tokens(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* context, int argc,
                   sqlite3_value** argv) {
    if (argc != 1) {
        sqlite3_result_error(context, "lumora_tokens(TABLE, text) takes one text", -1);
        return;
    }
    const char* text = (const char*)sqlite3_value_text(argv[0]);
    sqlite3_str* out = sqlite3_str_new(NULL);
    const int rc =
        api->xTokenize(fts, text ? text : "", text ? sqlite3_value_bytes(argv[0]) : 0, out, OnToken);
    char* tokens = sqlite3_str_finish(out);
    if (rc != SQLITE_OK || !tokens) {
        sqlite3_free(tokens);
        sqlite3_result_error_code(context, rc != SQLITE_OK ? rc : SQLITE_NOMEM);
        return;
    }
    sqlite3_result_text(context, tokens, -1, sqlite3_free);
}

int lumora_vocabulary_register(sqlite3* db) {
    fts5_api* api = lumora_snowball_fts5(db);
    if (!api) return SQLITE_ERROR;
    return api->xCreateFunction(api, "lumora_tokens", NULL, Tokens, NULL);
}
