// The updatable result over ODBC: prepared inserts through Qt, in the driver's
// transaction or a savepoint of the caller's.
#include <QSqlError>

#include "zarvik/db/batchrecordset.h"
#include "zarvik/db/insertrows.h"
#include "zarvik/db/odbc/odbcbackend.h"

namespace zarvik::db {
namespace {

class OdbcBatchRecordset final : public BatchRecordset {
public:
    OdbcBatchRecordset(std::shared_ptr<ConnectionState> state, OdbcBackend& backend, QString table,
                       QStringList columns)
        : BatchRecordset(std::move(state), std::move(table), std::move(columns)), m_backend(backend) {}

private:
    void Send(bool ownTransaction) override {
        const auto run = [this](const QString& statement) {
            m_backend.Run(statement, QStringLiteral("UpdateBatch failed"));
        };
        const SavepointTexts texts = SavepointsOf(m_backend.dialect(), QStringLiteral("zarvik_batch"));
        SendFramed(ownTransaction, texts, run, [this] {
            const qsizetype most = m_backend.dialect().multiRowInsert ? kRowsPerInsert : 1;
            ForEachStatement([most](const Row& row) { return row.empty() ? 1 : most; },
                             [this](qsizetype first, qsizetype count) { SendRows(first, count); });
        });
    }

    void SendRows(qsizetype first, qsizetype count) {
        const QString statement = CachedInsertFor(m_pending[std::size_t(first)], count, false);
        QSqlQuery& query =
            m_backend.Prepared(statement, QStringLiteral("UpdateBatch: preparing the insert failed"));
        int position = 0;
        for (qsizetype r = first; r < first + count; ++r)
            for (const auto& [index, value] : m_pending[std::size_t(r)]) query.bindValue(position++, value);
        if (!query.exec()) ThrowDatabaseError(RowsFailed(first, count), query.lastError(), statement);
    }

    OdbcBackend& m_backend;
};

}  // namespace

std::unique_ptr<component::UpdatableRecordset> NewOdbcBatchRecordset(
    const std::shared_ptr<ConnectionState>& state, OdbcBackend& backend, QString table, QStringList columns) {
    return std::make_unique<OdbcBatchRecordset>(state, backend, std::move(table), std::move(columns));
}

}  // namespace zarvik::db
