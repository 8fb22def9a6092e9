// The program's queries are written for SQL Server. This adapts a statement to the
// database that runs it, touching nothing inside string literals, quoted names or
// comments.
#pragma once

#include <QString>
#include <QVariantList>

namespace zarvik::db {

// Where a database's SQL differs from SQL Server's in the program's statements. Each
// backend's folder defines its own (sqlite/sqlitedialect.h, pg/pgdialect.h,
// odbc/sqlserverdialect.h); the rewrite below only reads these fields.
struct Dialect {
    // False for SQL Server itself, whose statements go unchanged.
    bool rewritten = true;
    // Parameter markers $1, $2 ... rather than ?.
    bool numberedMarkers = false;
    // Whether one INSERT may carry several rows.
    bool multiRowInsert = true;
    // The statements of a savepoint, "%1" its name; no release where the database has none.
    const char* setSavepoint = "SAVEPOINT %1";
    const char* releaseSavepoint = "RELEASE SAVEPOINT %1";
    const char* rollbackToSavepoint = "ROLLBACK TO SAVEPOINT %1";
};

// For a rewritten dialect (SQLite, PostgreSQL): "SELECT [DISTINCT|ALL] TOP n ..." becomes
// "SELECT [DISTINCT|ALL] ... LIMIT n" (LIMIT at the end of that SELECT: before the
// ')' that closes it, a ';' or the end of the text), and N'...' becomes '...'.
// PostgreSQL does accept N'...', but reads it as a blank-padded character value, so
// N'abc ' would equal 'abc'; the plain literal compares exactly. SQL Server text is
// returned unchanged. Never fails; a form it does not know is left as it is.
QString RewriteTSql(const QString& sql, const Dialect& dialect);

// A statement as RewriteTSql gives it, with the integer and string literals that its
// WHERE clause compares with or lists (after =, <, >, LIKE, "(" or ",") replaced by
// markers (?, which SQLite numbers from left to right, or $1, $2 ... where the dialect
// numbers them) and their values
// in `values` (qlonglong or QString), in the order of the markers. Statements that
// differ only in those values then share one prepared statement. Literals anywhere
// else stay, and so does every literal of a statement that is not a SELECT or DELETE,
// has markers of its own, holds a second statement or a SELECT inside its WHERE
// clause, or has more than 2,000 of them: `values` is then empty. Never fails.
struct ParameterizedSql {
    QString text;
    QVariantList values;
};
ParameterizedSql RewriteTSqlWithParameters(const QString& sql, const Dialect& dialect);

// The statements that set a savepoint, release it (empty where the dialect has no
// such statement) and roll back to it.
struct SavepointTexts {
    QString set, release, rollbackTo;
};
SavepointTexts SavepointsOf(const Dialect& dialect, const QString& name);

}  // namespace zarvik::db
