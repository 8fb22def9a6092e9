// The SQLite backend: a QSQLITE connection whose statements run on the SQLite handle
// under it, past Qt's per-value caching and binding.
#pragma once

#include "zarvik/db/backend.h"
#include "zarvik/db/sqlite/sqlitestatement.h"

namespace zarvik::db {

class SqliteBackend final : public Backend {
public:
    SqliteBackend(const QSqlDatabase& database, sqlite3* db, QString file);

    bool Reusable() const override;
    bool StillValid() const override;
    bool HasOpenTransaction() override;
    void ForgetStatements() noexcept override;
    void Close() noexcept override;

    void Execute(const QString& sql, bool rowsOnly) override;
    void Begin(const QString& what) override { m_handle.RunFixed(QStringLiteral("BEGIN"), what); }
    void Commit(const QString& what) override { m_handle.RunFixed(QStringLiteral("COMMIT"), what); }
    void Rollback(const QString& what) override { m_handle.RunFixed(QStringLiteral("ROLLBACK"), what); }

    void Read(const QString& sql, QStringList& columns, QList<QVariantList>& byColumn) override {
        m_handle.Read(sql, columns, byColumn);
    }
    QStringList Columns(const QString& sql) override { return m_handle.Columns(sql); }
    std::unique_ptr<component::RowStream> NewRowStream(const std::shared_ptr<ConnectionState>& state,
                                                       const QString& sql) override;
    std::unique_ptr<component::RewriteBatch> NewRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                             const QString& table,
                                                             const QStringList& columns) override;
    std::unique_ptr<component::UpdatableRecordset> NewBatchRecordset(
        const std::shared_ptr<ConnectionState>& state, QString table, QStringList columns) override;
    std::unique_ptr<BatchReader> NewBatchReader(const QString& query, Heartbeat heartbeat) override;

    SqliteHandle& Handle() { return m_handle; }
    // Whether the database keeps a write-ahead log; its commits then sync only at
    // checkpoints unless a batch asks for more (see SqliteRewriteBatch).
    bool WriteAheadLog() const { return m_writeAheadLog; }

private:
    SqliteHandle m_handle;
    QString m_file;  // the file it has open, so that one deleted or replaced since is noticed
    quint64 m_device = 0;
    quint64 m_inode = 0;
    bool m_writeAheadLog = false;
};

// The pieces of the backend, each in a file of its own.
std::unique_ptr<component::RowStream> NewSqliteCopyRowStream(const std::shared_ptr<ConnectionState>& state,
                                                             const QString& sql);
std::unique_ptr<component::RewriteBatch> NewSqliteRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                               SqliteBackend& backend, const QString& table,
                                                               const QStringList& columns);
std::unique_ptr<component::UpdatableRecordset> NewSqliteBatchRecordset(
    const std::shared_ptr<ConnectionState>& state, SqliteBackend& backend, QString table,
    QStringList columns);

}  // namespace zarvik::db
