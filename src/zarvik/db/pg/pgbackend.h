// The PostgreSQL backend: a QPSQL connection whose statements go to the libpq
// connection under it, several in one round trip.
#pragma once

#include "zarvik/db/backend.h"
#include "zarvik/db/pg/pgsession.h"

namespace zarvik::db {

class PgBackend final : public Backend {
public:
    PgBackend(const QSqlDatabase& database, pg_conn* connection) : Backend(database), m_session(connection) {}

    bool HasOpenTransaction() override;
    void ForgetStatements() noexcept override {
        Backend::ForgetStatements();
        m_session.Statements().Clear();
    }

    void Execute(const QString& sql, bool rowsOnly) override;
    void Begin(const QString&) override { m_session.Begin(); }
    void Commit(const QString& what) override { m_session.End(true, what); }
    void Rollback(const QString& what) override { m_session.End(false, what); }
    void DiscardTransaction() noexcept override {
        if (!m_session.DropPendingBegin()) m_database.rollback();
    }

    void Read(const QString& sql, QStringList& columns, QList<QVariantList>& byColumn) override {
        m_session.Read(sql, columns, byColumn);
    }
    QStringList Columns(const QString& sql) override { return m_session.Columns(sql); }
    std::unique_ptr<component::RowStream> NewRowStream(const std::shared_ptr<ConnectionState>& state,
                                                       const QString& sql) override;
    std::unique_ptr<component::RewriteBatch> NewRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                             const QString& table,
                                                             const QStringList& columns) override;
    std::unique_ptr<component::UpdatableRecordset> NewBatchRecordset(
        const std::shared_ptr<ConnectionState>& state, QString table, QStringList columns) override;
    std::unique_ptr<BatchReader> NewBatchReader(const QString& query, Heartbeat heartbeat) override;

private:
    PgSession m_session;
};

// The pieces of the backend, each in a file of its own.
std::unique_ptr<component::RowStream> NewPgRowStream(const std::shared_ptr<ConnectionState>& state,
                                                     const QString& sql);
std::unique_ptr<component::RewriteBatch> NewPgRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                           PgSession& session, const QString& table,
                                                           const QStringList& columns);
std::unique_ptr<component::UpdatableRecordset> NewPgBatchRecordset(
    const std::shared_ptr<ConnectionState>& state, PgSession& session, QString table, QStringList columns);

}  // namespace zarvik::db
