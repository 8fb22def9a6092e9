// PostgreSQL through the libpq connection under a Qt SQL connection of the QPSQL
// driver: several statements in one round trip, and reading a whole result at once.
#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <optional>
#include <vector>

#include "zarvik/db/database_p.h"

struct pg_conn;

namespace zarvik::db {

// One statement: its text with $1, $2, ... and a value for each.
struct PgStatement {
    QByteArray sql;
    QList<QVariant> values;
    QString failure;  // what the error says first when this statement fails
    // When set, the statement runs as the server's prepared statement of that name,
    // which is prepared first in the same pipeline when `prepare` is set.
    QByteArray prepared;
    bool prepare = false;
    // The types of the values (server type numbers; 0 lets the server infer it), or
    // empty for all inferred.
    std::vector<unsigned int> types;
    // What an error shows as the statement, when not `sql`.
    QByteArray shown;
};

// The libpq connection under a Qt connection of the QPSQL driver, or null.
pg_conn* PostgresHandleOf(const QSqlDatabase& database);

// Sends the statements as one pipeline and waits for all their results. The values
// travel as parameters, never inside the statement text. A statement after a failed
// one does not run. Raises component::Error (errnum::kDatabase) with the failed
// statement's `failure`, the server's message and the statement.
// When failedAt is given, it receives the index of the statement that failed.
void RunPipeline(pg_conn* connection, const std::vector<PgStatement>& statements,
                 std::size_t* failedAt = nullptr);

// The name for a new statement prepared on the server (never reused on the
// connection), or an empty one when the connection keeps no more of them; the
// limit counts every name given before, so the server never holds more than 512.
QByteArray NewPgStatementName(PhysicalConnection& physical);

// The functions below take a statement as the program wrote it (for SQL Server) and
// rewrite it for PostgreSQL. The values its WHERE clause compares with travel as
// parameters of a statement the server prepares once per connection and shape, so
// that it parses and plans the thousands of queries of the USERNODE computation a
// few hundred times rather than each time. One statement only: the extended protocol
// refuses a second. Each raises component::Error (errnum::kDatabase) with the
// server's message and the statement as rewritten, its values in their places.

// Runs one query and returns its column names and all its values by column
// ([column][row]), typed as Qt's PostgreSQL driver types them (int2/int4 int, int8
// qlonglong, real and numeric double, bool, bytea QByteArray, date QDate, timestamp
// QDateTime, else QString, NULL a null value). Raises "The query failed".
void ReadPostgres(PhysicalConnection& physical, pg_conn* connection, const QString& sql, QStringList& columns,
                  QList<QVariantList>& byColumn);

// The column names of a query, from its prepared form; nothing is run. Raises
// "The query failed".
QStringList PostgresColumns(PhysicalConnection& physical, pg_conn* connection, const QString& sql);

// Runs a statement that changes rows. Raises "Execute failed".
void ExecutePostgres(PhysicalConnection& physical, pg_conn* connection, const QString& sql);

// BEGIN, COMMIT or ROLLBACK. A COMMIT that the server turns into a rollback (the
// transaction had failed) is a failure, as it is for Qt's driver. Raises `what`.
void RunTransactionStatement(pg_conn* connection, const char* statement, const QString& what);

// A transaction's BEGIN waits for the connection's next statement and travels in its
// round trip, so that the transaction of each user costs no round trip of its own.
// Until that statement nothing is read or locked, so no one can tell the difference.
// A COMMIT or ROLLBACK while it waits has nothing to end and sends nothing.
void BeginPostgres(PhysicalConnection& physical);
// Sends a BEGIN that still waits. Raises component::Error ("BeginTrans failed").
void SendPendingBegin(PhysicalConnection& physical, pg_conn* connection);
// COMMIT (`commit`) or ROLLBACK, as RunTransactionStatement; raises `what`.
void EndPostgres(PhysicalConnection& physical, pg_conn* connection, bool commit, const QString& what);

// The value as a text parameter the server converts to the column's type; null for
// NULL. Binary data is sent as bytea hex text.
std::optional<QByteArray> PgParameter(const QVariant& value);

}  // namespace zarvik::db
