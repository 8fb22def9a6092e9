// The checks of an index file that every copy passes before it goes live: the build's
// new index, a copy on a target, a file the readers' agent put together.
#pragma once

#include <sqlite3.h>

#include <QString>

namespace zarvik::files {

// PRAGMA quick_check on db. Returns the empty text when it answers "ok", else its
// first answers joined by "; ", or SQLite's reason when it could not run (an
// interrupted check, too). Raises nothing.
QString QuickCheck(sqlite3* db);

// QuickCheck, then FTS5's integrity-check of the table `documents`, with the tokenizer
// snowball and lumora_match registered on db first, so that an index built with them
// checks as any other. The integrity-check writes: db must be writable (a private
// copy will do). Returns the empty text when both pass, else "quick_check: ..." or
// "FTS5 integrity-check: ..." with the reason. Raises nothing.
QString CheckIndexFile(sqlite3* db);

}  // namespace zarvik::files
