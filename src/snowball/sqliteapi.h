/* The SQLite interface this folder is compiled against: the program's own library
 * when linked into the program, the loading process's one (through the routines
 * table SQLite hands to an extension) when built as lumora_snowball.so. */
#ifndef LUMORA_SNOWBALL_SQLITEAPI_H
#define LUMORA_SNOWBALL_SQLITEAPI_H

#ifdef LUMORA_SNOWBALL_EXTENSION
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3
#else
#include <sqlite3.h>
#endif

#endif
