/* The loadable extension lumora_snowball.so: what a reader of an index built with
 * the tokenizer snowball loads (sqlite3's .load, Python's load_extension, PHP's
 * SQLite3::loadExtension, better-sqlite3's loadExtension). */
#include "snowball/snowball.h"
#include "snowball/sqliteapi.h"

SQLITE_EXTENSION_INIT1

/* The name SQLite derives from the file name lumora_snowball.so. */
__attribute__((visibility("default"))) int sqlite3_lumorasnowball_init(sqlite3* db, char** message,
                                                                       const sqlite3_api_routines* api) {
    SQLITE_EXTENSION_INIT2(api);
    if (lumora_snowball_register(db) == SQLITE_OK) return SQLITE_OK;
    *message = sqlite3_mprintf("lumora_snowball: this SQLite has no FTS5");
    return SQLITE_ERROR;
}
