// Rows into a PostgreSQL table through COPY ... FROM STDIN: one stream of rows, no
// statement, parse or bind per row.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <vector>

struct pg_conn;

namespace zarvik::db {

// Sends `values` (the rows one after another, a value per column) into the columns
// of the table, in the transaction open on the connection, in COPY's text format.
// Table and column names are plain identifiers. Raises component::Error (`failure`,
// the server's message and the COPY statement) when the server refuses a row or the
// connection is lost; the transaction has then failed.
void CopyRows(pg_conn* connection, const QString& table, const QStringList& columns,
              const std::vector<QVariant>& values, const QString& failure);

}  // namespace zarvik::db
