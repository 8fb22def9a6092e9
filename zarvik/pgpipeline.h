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

struct pg_conn;

namespace zarvik::db {

// One statement: its text with $1, $2, ... and a value for each.
struct PgStatement {
    QByteArray sql;
    QList<QVariant> values;
    QString failure;  // what the error says first when this statement fails
};

// The libpq connection under a Qt connection of the QPSQL driver, or null.
pg_conn* PostgresHandleOf(const QSqlDatabase& database);

// Sends the statements as one pipeline and waits for all their results. The values
// travel as parameters, never inside the statement text. A statement after a failed
// one does not run. Raises component::Error (errnum::kDatabase) with the failed
// statement's `failure`, the server's message and the statement.
void RunPipeline(pg_conn* connection, const std::vector<PgStatement>& statements);

// Runs one query and returns its column names and all its rows, the values typed as
// Qt's PostgreSQL driver types them (int2/int4 int, int8 qlonglong, real and numeric
// double, bool, bytea QByteArray, date QDate, timestamp QDateTime, else QString, NULL
// a null value). One statement only: the extended protocol refuses a second.
// Raises component::Error (errnum::kDatabase) with the server's message.
void ReadPostgres(pg_conn* connection, const QString& sql, QStringList& columns, QList<QVariantList>& rows);

// The value as a text parameter the server converts to the column's type; null for
// NULL. Binary data is sent as bytea hex text.
std::optional<QByteArray> PgParameter(const QVariant& value);

}  // namespace zarvik::db
