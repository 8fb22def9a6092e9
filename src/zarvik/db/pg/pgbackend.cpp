// The PostgreSQL backend: opening a server connection, its statements, its transactions.
#include "zarvik/db/pg/pgbackend.h"

#include <libpq-fe.h>

#include "zarvik/db/pg/pgdialect.h"
#include "zarvik/db/recordset.h"
#include "zarvik/db/tsql.h"

namespace zarvik::db {
namespace {

void Configure(QSqlDatabase& database, const ConnectionText& text) {
    database.setHostName(text.Value(QStringLiteral("Host")));
    const QString port = text.Value(QStringLiteral("Port"));
    if (!port.isEmpty()) {
        bool ok = false;
        const int number = port.toInt(&ok);
        if (!ok || number <= 0 || number > 65535)
            ThrowDatabaseError(QStringLiteral("The connection text has an invalid Port: ") + port);
        database.setPort(number);
    }
    database.setDatabaseName(text.Value(QStringLiteral("Database")));
    database.setUserName(text.Value(QStringLiteral("User")));
    database.setPassword(text.Value(QStringLiteral("Password")));
    database.setConnectOptions(QStringLiteral("connect_timeout=10"));
}

}  // namespace

std::unique_ptr<Backend> OpenPgBackend(const ConnectionText& text, const QString& name) {
    QSqlDatabase database =
        OpenQtDatabase(QStringLiteral("QPSQL"), name, [&](QSqlDatabase& db) { Configure(db, text); });
    // Qt names the type by the struct behind libpq's typedef.
    auto* connection = static_cast<PGconn*>(DriverHandle(database, "pg_conn*"));
    if (!connection) ThrowDatabaseError(QStringLiteral("The Qt SQL driver QPSQL gives no libpq connection"));
    return std::make_unique<PgBackend>(database, connection);
}

bool PgBackend::HasOpenTransaction() {
    return PQtransactionStatus(m_session.get()) != PQTRANS_IDLE;
}

// Statements that only change rows go to libpq, so each user's delete is prepared
// once; anything else goes through Qt, which knows of it.
void PgBackend::Execute(const QString& sql, bool rowsOnly) {
    if (rowsOnly) return m_session.Execute(sql);
    m_session.SendPendingBegin();
    ExecuteThroughQt(m_database, RewriteTSql(sql, kPgDialect), QStringLiteral("Execute failed"));
}

std::unique_ptr<component::RowStream> PgBackend::NewRowStream(const std::shared_ptr<ConnectionState>& state,
                                                              const QString& sql) {
    m_session.SendPendingBegin();
    return NewPgRowStream(state, sql);
}

std::unique_ptr<component::RewriteBatch> PgBackend::NewRewriteBatch(
    const std::shared_ptr<ConnectionState>& state, const QString& table, const QStringList& columns) {
    return NewPgRewriteBatch(state, m_session, table, columns);
}

std::unique_ptr<component::UpdatableRecordset> PgBackend::NewBatchRecordset(
    const std::shared_ptr<ConnectionState>& state, QString table, QStringList columns) {
    return NewPgBatchRecordset(state, m_session, std::move(table), std::move(columns));
}

}  // namespace zarvik::db
