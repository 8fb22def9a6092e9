// The program's queries are written for SQL Server. This adapts a statement to the
// database that runs it, touching nothing inside string literals, quoted names or
// comments.
#pragma once

#include <QString>

namespace zarvik::db {

enum class Dialect { SqlServer, SQLite, PostgreSQL };

// For SQLite and PostgreSQL: "SELECT [DISTINCT|ALL] TOP n ..." becomes
// "SELECT [DISTINCT|ALL] ... LIMIT n" (LIMIT at the end of that SELECT: before the
// ')' that closes it, a ';' or the end of the text), and N'...' becomes '...'.
// PostgreSQL does accept N'...', but reads it as a blank-padded character value, so
// N'abc ' would equal 'abc'; the plain literal compares exactly. SQL Server text is
// returned unchanged. Never fails; a form it does not know is left as it is.
QString RewriteTSql(const QString& sql, Dialect dialect);

}  // namespace zarvik::db
