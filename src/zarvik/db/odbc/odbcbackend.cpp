// The ODBC backend: opening through the driver manager, statements through Qt.
#include "zarvik/db/odbc/odbcbackend.h"

#include <QSqlDriver>
#include <QSqlError>

#include "zarvik/db/odbc/sqlserverdialect.h"
#include "zarvik/db/pg/pgdialect.h"
#include "zarvik/db/recordset.h"
#include "zarvik/db/sqlite/sqlitedialect.h"

namespace zarvik::db {
namespace {

// Qt names the database behind an ODBC driver only for some servers (not SQLite), so
// an unknown one is asked whether it is SQLite and otherwise taken as SQL Server. A
// server Qt names whose SQL is none of the three is refused rather than sent SQL
// Server's statements.
const Dialect& DialectOf(const QSqlDatabase& db) {
    switch (db.driver()->dbmsType()) {
        case QSqlDriver::SQLite:
            return kSqliteDialect;
        case QSqlDriver::PostgreSQL:
            return kPgDialect;
        case QSqlDriver::UnknownDbms: {
            QSqlQuery probe(db);
            if (probe.exec(QStringLiteral("SELECT sqlite_version()")) && probe.next()) return kSqliteDialect;
            return kSqlServerDialect;
        }
        case QSqlDriver::MSSqlServer:
        case QSqlDriver::Sybase:
            return kSqlServerDialect;
        default:
            ThrowDatabaseError(QStringLiteral(
                "The database behind this ODBC data source is not SQL Server, PostgreSQL or SQLite, the "
                "databases whose SQL the program writes"));
    }
}

}  // namespace

std::unique_ptr<Backend> OpenOdbcBackend(const ConnectionText& text, const QString& name) {
    QSqlDatabase database = OpenQtDatabase(QStringLiteral("QODBC"), name,
                                           [&](QSqlDatabase& db) { db.setDatabaseName(text.odbcText); });
    try {
        return std::make_unique<OdbcBackend>(database, DialectOf(database));
    } catch (...) {
        database.close();
        database = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw;
    }
}

void OdbcBackend::Execute(const QString& sql, bool) {
    ExecuteThroughQt(m_database, RewriteTSql(sql, m_dialect), QStringLiteral("Execute failed"));
}

void OdbcBackend::Begin(const QString& what) {
    if (!m_database.transaction()) ThrowDatabaseError(what, m_database.lastError(), {});
}

void OdbcBackend::Commit(const QString& what) {
    if (!m_database.commit()) ThrowDatabaseError(what, m_database.lastError(), {});
}

void OdbcBackend::Rollback(const QString& what) {
    if (!m_database.rollback()) ThrowDatabaseError(what, m_database.lastError(), {});
}

void OdbcBackend::Read(const QString& sql, QStringList& columns, QList<QVariantList>& byColumn) {
    ReadThroughQt(m_database, RewriteTSql(sql, m_dialect), columns, byColumn);
}

QStringList OdbcBackend::Columns(const QString& sql) {
    QStringList columns;
    RunThroughQt(m_database, RewriteTSql(sql, m_dialect), columns);
    return columns;
}

// A read left open could block the writes of another connection, so the whole
// result is read first.
std::unique_ptr<component::RowStream> OdbcBackend::NewRowStream(const std::shared_ptr<ConnectionState>&,
                                                                const QString& sql) {
    QStringList columns;
    QList<QVariantList> byColumn;
    Read(sql, columns, byColumn);
    return NewBufferedRowStream(NewMemoryRecordset(std::move(columns), std::move(byColumn)));
}

std::unique_ptr<component::RewriteBatch> OdbcBackend::NewRewriteBatch(
    const std::shared_ptr<ConnectionState>& state, const QString& table, const QStringList& columns) {
    return NewOdbcRewriteBatch(state, *this, table, columns);
}

std::unique_ptr<component::UpdatableRecordset> OdbcBackend::NewBatchRecordset(
    const std::shared_ptr<ConnectionState>& state, QString table, QStringList columns) {
    return NewOdbcBatchRecordset(state, *this, std::move(table), std::move(columns));
}

QSqlQuery& OdbcBackend::Prepared(const QString& statement, const QString& what) {
    auto it = m_prepared.find(statement);
    if (it == m_prepared.end()) {
        QSqlQuery query(m_database);
        if (!query.prepare(statement)) ThrowDatabaseError(what, query.lastError(), statement);
        it = m_prepared.insert(statement, query);
    }
    return *it;
}

void OdbcBackend::Run(const QString& statement, const QString& what) {
    ExecuteThroughQt(m_database, statement, what);
}

}  // namespace zarvik::db
