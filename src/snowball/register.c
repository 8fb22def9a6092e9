/* Registering the tokenizer and lumora_match on a connection, and what the builder
 * asks before it makes an index with them. */
#include <libstemmer.h>
#include <stdio.h>
#include <string.h>

#include "snowball/snowball.h"
#include "snowball/sqliteapi.h"
#include "snowball/tokenizer.h"
#include "snowball/vocabulary.h"

#ifndef LUMORA_LIBSTEMMER_VERSION
#define LUMORA_LIBSTEMMER_VERSION "unknown"
#endif

const char* lumora_snowball_libstemmer_version(void) {
    return LUMORA_LIBSTEMMER_VERSION;
}

static void Match(sqlite3_context* context, int argc, sqlite3_value** argv) {
    (void)argc;
    const char* text = (const char*)sqlite3_value_text(argv[0]);
    char* query = lumora_match_query(text, text ? sqlite3_value_bytes(argv[0]) : 0);
    if (!query) {
        sqlite3_result_error_nomem(context);
        return;
    }
    sqlite3_result_text(context, query, -1, sqlite3_free);
}

/* lumora_match(text, table): the same query, with corrections from that table's terms. */
static void MatchCorrected(sqlite3_context* context, int argc, sqlite3_value** argv) {
    (void)argc;
    const char* text = (const char*)sqlite3_value_text(argv[0]);
    const int size = text ? sqlite3_value_bytes(argv[0]) : 0;
    LumoraIndex index = {sqlite3_context_db_handle(context), (const char*)sqlite3_value_text(argv[1])};
    if (!index.table || !*index.table) {
        sqlite3_result_error(context,
                             "lumora_match: the second argument names the FTS5 table of the index, as in "
                             "lumora_match(?, 'documents')",
                             -1);
        return;
    }
    int rc = SQLITE_OK;
    char* query = lumora_match_build(text, size, lumora_vocabulary_correct, &index, &rc);
    if (!query || rc == SQLITE_NOMEM) {
        sqlite3_free(query);
        sqlite3_result_error_nomem(context);
    } else if (rc != SQLITE_OK) {
        sqlite3_free(query);
        char* message = sqlite3_mprintf("lumora_match: %s", sqlite3_errmsg(index.db));
        sqlite3_result_error(context, message ? message : "lumora_match: the table cannot be searched", -1);
        sqlite3_free(message);
    } else {
        sqlite3_result_text(context, query, -1, sqlite3_free);
    }
}

int lumora_snowball_register(sqlite3* db) {
    int rc =
        sqlite3_create_function(db, "lumora_match", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
                                NULL, Match, NULL, NULL);
    /* Not deterministic: the answer follows the index's contents. */
    if (rc == SQLITE_OK)
        rc = sqlite3_create_function(db, "lumora_match", 2, SQLITE_UTF8, NULL, MatchCorrected, NULL, NULL);
    if (rc != SQLITE_OK) return rc;
    rc = lumora_snowball_create_tokenizer(db);
    return rc == SQLITE_OK ? lumora_vocabulary_register(db) : rc;
}

/* The words of a tokenize= setting as FTS5 reads them: barewords, or quoted with ',
 * " or ` (a doubled quote is one) or [...]. At most `most` words of up to 63 bytes. */
static int Words(const char* s, char words[][64], int most) {
    int count = 0;
    while (*s && count < most) {
        while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') ++s;
        if (!*s) break;
        const char close = *s == '[' ? ']' : (*s == '\'' || *s == '"' || *s == '`') ? *s : 0;
        int n = 0;
        if (close) ++s;
        while (*s && (close ? !(*s == close && s[1] != close) : !strchr(" \t\n\r", *s))) {
            if (close && close != ']' && *s == close) ++s;
            if (n < 63) words[count][n++] = *s;
            ++s;
        }
        if (close && *s) ++s;
        words[count++][n] = 0;
    }
    return count;
}

static void KnownLanguages(char* out, int size) {
    const char** list = sb_stemmer_list();
    int used = 0;
    for (int i = 0; list[i] && used < size; ++i)
        used += snprintf(out + used, (size_t)(size - used), "%s%s", i ? ", " : "", list[i]);
}

/* unicode61's options come in pairs: a name it knows and a value (0, 1 or 2 for
 * remove_diacritics). Returns the first word that breaks this, or NULL. */
static const char* WrongOption(const char* const* options, int count) {
    for (int i = 0; i < count; i += 2) {
        if (i + 1 == count) return options[i];
        const char* name = options[i];
        if (sqlite3_stricmp(name, "remove_diacritics") == 0) {
            if (strlen(options[i + 1]) != 1 || !strchr("012", options[i + 1][0])) return options[i + 1];
        } else if (sqlite3_stricmp(name, "tokenchars") && sqlite3_stricmp(name, "separators") &&
                   sqlite3_stricmp(name, "categories")) {
            return name;
        }
    }
    return NULL;
}

int lumora_snowball_setting_problem(const char* setting, char* out, int size) {
    enum { kMostWords = 64 };
    char words[kMostWords][64];
    const int count = Words(setting ? setting : "", words, kMostWords);
    if (count == 0 || sqlite3_stricmp(words[0], "snowball") != 0) return 0;
    const char* args[kMostWords];
    for (int i = 1; i < count; ++i) args[i - 1] = words[i];
    const int languages = lumora_snowball_language_count(args, count - 1);
    char known[1024];
    KnownLanguages(known, sizeof known);
    if (languages == 0) {
        snprintf(out, (size_t)size,
                 "The tokenizer snowball needs at least one language, as in \"snowball english\"; "
                 "the languages it knows are %s.",
                 known);
        return 1;
    }
    for (int i = 0; i < languages; ++i) {
        if (lumora_snowball_language(args[i])) continue;
        snprintf(out, (size_t)size,
                 "The tokenizer snowball knows no language \"%s\"; the languages it knows are %s.", args[i],
                 known);
        return 1;
    }
    const int first = languages < count - 1 ? languages + 1 : count - 1;
    const char* wrong = WrongOption(args + first, count - 1 - first);
    if (!wrong) return 0;
    snprintf(out, (size_t)size,
             "The tokenizer snowball takes, after its languages, \"unicode61\" and unicode61's options in "
             "pairs (remove_diacritics 0, 1 or 2; tokenchars, separators or categories and their "
             "characters); \"%s\" does not fit there.",
             wrong);
    return 1;
}

#ifndef LUMORA_SNOWBALL_EXTENSION
static int RegisterOnOpen(sqlite3* db, char** message, const sqlite3_api_routines* api) {
    (void)message, (void)api;
    /* A connection whose SQLite lacks FTS5 still opens; it only cannot use the tokenizer. */
    lumora_snowball_register(db);
    return SQLITE_OK;
}

int lumora_snowball_register_everywhere(void) {
    return sqlite3_auto_extension((void (*)(void))RegisterOnOpen);
}
#endif
