// PostgreSQL through the libpq connection under a Qt SQL connection of the QPSQL
// driver: several statements in one round trip.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <optional>
#include <vector>

#include "zarvik/db/database_p.h"

struct pg_conn;
struct pg_result;

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

// Sends the statements as one pipeline and waits for all their results. The values
// travel as parameters, never inside the statement text. A statement after a failed
// one does not run. Raises component::Error (errnum::kDatabase) with the failed
// statement's `failure`, the server's message and the statement.
// When failedAt is given, it receives the index of the statement that failed.
void RunPipeline(pg_conn* connection, const std::vector<PgStatement>& statements,
                 std::size_t* failedAt = nullptr);

// BEGIN, COMMIT or ROLLBACK. A COMMIT that the server turns into a rollback (the
// transaction had failed) is a failure, as it is for Qt's driver. Raises `what`.
void RunTransactionStatement(pg_conn* connection, const char* statement, const QString& what);

// The value as a text parameter the server converts to the column's type; null for
// NULL. Binary data is sent as bytea hex text.
std::optional<QByteArray> PgParameter(const QVariant& value);

// The type a value is sent as: an integer as the server types the same literal, int4
// if it fits, else int8; anything else 0, which lets the server infer it as it does
// for a quoted literal.
unsigned int PgParameterType(const QVariant& value);

// What libpq says of a failed call: the result's message, else the connection's.
QString PgResultError(pg_conn* connection, const pg_result* result);

// Raises component::Error (`what`) with the server's message and the statement.
[[noreturn]] void ThrowPgError(const QString& what, const QString& message, const QByteArray& sql);

}  // namespace zarvik::db
