// The libpq connection under a Qt connection of the QPSQL driver, with the statements
// prepared on it and a BEGIN that waits for the next statement.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

#include "zarvik/db/pg/pgstatementcache.h"

struct pg_conn;

namespace zarvik::db {

// The functions below take a statement as the program wrote it (for SQL Server) and
// rewrite it for PostgreSQL. The values its WHERE clause compares with travel as
// parameters of a statement the server prepares once per connection and shape, so
// that it parses and plans the thousands of queries of the USERNODE computation a
// few hundred times rather than each time. One statement only: the extended protocol
// refuses a second. Each raises component::Error (errnum::kDatabase) with the
// server's message and the statement as rewritten, its values in their places.
class PgSession {
public:
    explicit PgSession(pg_conn* connection) : m_connection(connection) {}

    pg_conn* get() const { return m_connection; }
    PgStatementCache& Statements() { return m_statements; }

    // Runs one query and returns its column names and all its values by column
    // ([column][row]), typed as Qt's PostgreSQL driver types them (int2/int4 int,
    // int8 qlonglong, real and numeric double, bool, bytea QByteArray, date QDate,
    // timestamp QDateTime, else QString, NULL a null value). Raises "The query failed".
    void Read(const QString& sql, QStringList& columns, QList<QVariantList>& byColumn);
    // The column names of a query, from its prepared form; nothing is run. Raises
    // "The query failed".
    QStringList Columns(const QString& sql);
    // Runs a statement that changes rows. Raises "Execute failed".
    void Execute(const QString& sql);

    // A transaction's BEGIN waits for the connection's next statement and travels in
    // its round trip, so that the transaction of each user costs no round trip of its
    // own. Until that statement nothing is read or locked, so no one can tell the
    // difference. A COMMIT or ROLLBACK while it waits has nothing to end and sends
    // nothing.
    void Begin() { m_beginPending = true; }
    // Sends a BEGIN that still waits. Raises component::Error ("BeginTrans failed").
    void SendPendingBegin();
    // COMMIT (`commit`) or ROLLBACK, as RunTransactionStatement; raises `what`.
    void End(bool commit, const QString& what);
    // Forgets a BEGIN that still waits; true when there was one.
    bool DropPendingBegin() { return std::exchange(m_beginPending, false); }

private:
    pg_conn* m_connection;
    PgStatementCache m_statements;
    bool m_beginPending = false;
};

}  // namespace zarvik::db
