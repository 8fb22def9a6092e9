// The ODBC backend: whatever the driver manager reaches, through Qt's ODBC driver and
// its transactions; statements are written in the dialect of the database behind it.
#pragma once

#include <QHash>
#include <QSqlQuery>

#include "zarvik/db/backend.h"
#include "zarvik/db/tsql.h"

namespace zarvik::db {

class OdbcBackend final : public Backend {
public:
    OdbcBackend(const QSqlDatabase& database, const Dialect& dialect)
        : Backend(database), m_dialect(dialect) {}

    // The state of an ODBC session cannot be checked.
    bool Reusable() const override { return false; }
    bool HasOpenTransaction() override { return false; }
    void ForgetStatements() noexcept override {
        Backend::ForgetStatements();
        m_prepared.clear();
    }

    void Execute(const QString& sql, bool rowsOnly) override;
    void Begin(const QString& what) override;
    void Commit(const QString& what) override;
    void Rollback(const QString& what) override;

    void Read(const QString& sql, QStringList& columns, QList<QVariantList>& byColumn) override;
    QStringList Columns(const QString& sql) override;
    std::unique_ptr<component::RowStream> NewRowStream(const std::shared_ptr<ConnectionState>& state,
                                                       const QString& sql) override;
    std::unique_ptr<component::RewriteBatch> NewRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                             const QString& table,
                                                             const QStringList& columns) override;
    std::unique_ptr<component::UpdatableRecordset> NewBatchRecordset(
        const std::shared_ptr<ConnectionState>& state, QString table, QStringList columns) override;
    std::unique_ptr<BatchReader> NewBatchReader(const QString& query, Heartbeat heartbeat) override;

    const Dialect& dialect() const { return m_dialect; }
    // A statement prepared on its first use and kept with the connection, so that a
    // batch of every user reuses it. Raises component::Error (`what`).
    QSqlQuery& Prepared(const QString& statement, const QString& what);
    // Runs a statement of fixed text. Raises component::Error (`what`).
    void Run(const QString& statement, const QString& what);

private:
    const Dialect& m_dialect;
    QHash<QString, QSqlQuery> m_prepared;
};

// The pieces of the backend, each in a file of its own.
std::unique_ptr<component::RowStream> NewBufferedRowStream(std::unique_ptr<component::Recordset> result);
std::unique_ptr<component::RewriteBatch> NewOdbcRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                             OdbcBackend& backend, const QString& table,
                                                             const QStringList& columns);
std::unique_ptr<component::UpdatableRecordset> NewOdbcBatchRecordset(
    const std::shared_ptr<ConnectionState>& state, OdbcBackend& backend, QString table, QStringList columns);

}  // namespace zarvik::db
