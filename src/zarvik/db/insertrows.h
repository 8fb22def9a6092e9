// The multi-row INSERT and the number of rows each statement carries, for every
// backend's batches.
#pragma once

#include <QString>

namespace zarvik::db {

// Rows of one multi-row insert at the most: on SQLite and over ODBC, and on PostgreSQL,
// whose statements take at most 65,535 parameters.
inline constexpr qsizetype kRowsPerInsert = 128;
inline constexpr qsizetype kPgRowsPerInsert = 512;

// "INSERT INTO table (names) VALUES (...), (...)" for `rows` rows of `width`
// values each, marked ? or, when `numbered`, $1, $2, ... `names` is the column list
// as the statement shows it.
QString MultiRowInsert(const QString& table, const QString& names, qsizetype width, qsizetype rows,
                       bool numbered);

// The rows of the next statement: the largest power of two, at most `most`, that
// fits in `left`. A handful of shapes, each prepared once on the connection, then
// serves the batches of every user.
qsizetype RowsPerStatement(qsizetype left, qsizetype most);

// The one loop over a multi-row insert's statements: `each(first, rows)` for each
// statement that inserts rows [first, last), as RowsPerStatement cuts them.
template <typename Each>
void ForEachInsert(qsizetype first, qsizetype last, qsizetype most, Each each) {
    while (first < last) {
        const qsizetype rows = RowsPerStatement(last - first, most);
        each(first, rows);
        first += rows;
    }
}

}  // namespace zarvik::db
