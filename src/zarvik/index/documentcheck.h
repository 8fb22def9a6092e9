// The check of a changes build that costs what changed: each document it wrote or
// removed, looked up in the new index term by term.
#pragma once

#include <sqlite3.h>

#include <QString>
#include <cstdint>
#include <vector>

namespace zarvik::index {

// What a changes build changed: the rowids it wrote (added or replaced) in the new
// index, and those it removed (deleted or replaced) from the live index it copied.
struct ChangedDocuments {
    QString live;
    std::vector<std::int64_t> written;
    std::vector<std::int64_t> removed;
};

// In `db`, the new index: each written document is found under every term of the text
// of each indexed column, and a removed one that was not written again is gone; a
// removed document is no longer found under a term of its text in the live index
// that its new text lacks. The terms are those the index's own tokenizer gives, each
// looked up through the words it was read from, as a query would. Returns the empty
// text when all hold, else the first document that fails and how (or SQLite's reason,
// an interrupted statement's too). Only every `parts`-th document from the `part`-th is
// looked at, so that connections of their own can share the work. `lookups` counts the
// terms looked up. Raises nothing.
QString CheckChangedDocuments(sqlite3* db, const ChangedDocuments& changed, int part, int parts,
                              std::int64_t& lookups);

}  // namespace zarvik::index
