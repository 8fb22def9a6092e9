// The updatable result on PostgreSQL: the transaction or savepoint, every insert and
// its end go as one pipeline, a round trip for the whole batch instead of one per
// statement. Each insert carries up to kPgRowsPerInsert rows, their values as
// parameters.
#include <libpq-fe.h>

#include "zarvik/db/batchrecordset.h"
#include "zarvik/db/insertrows.h"
#include "zarvik/db/pg/pgbackend.h"
#include "zarvik/db/pg/pgdialect.h"

namespace zarvik::db {
namespace {

PgStatement Fixed(const QByteArray& sql, const QString& failure) {
    PgStatement statement;
    statement.sql = sql;
    statement.failure = failure;
    return statement;
}

class PgBatchRecordset final : public BatchRecordset {
public:
    PgBatchRecordset(std::shared_ptr<ConnectionState> state, PgSession& session, QString table,
                     QStringList columns)
        : BatchRecordset(std::move(state), std::move(table), std::move(columns)), m_session(session) {}

private:
    void Send(bool ownTransaction) override {
        m_session.SendPendingBegin();
        std::vector<PgStatement> statements;
        statements.push_back(Fixed(ownTransaction ? QByteArrayLiteral("BEGIN") : m_savepoint.set,
                                   QStringLiteral("UpdateBatch: BEGIN failed")));
        PgPreparing preparing(m_session.Statements());
        AddInserts(statements, preparing);
        statements.push_back(Fixed(ownTransaction ? QByteArrayLiteral("COMMIT") : m_savepoint.release,
                                   ownTransaction ? QStringLiteral("UpdateBatch: COMMIT failed")
                                                  : QStringLiteral("UpdateBatch failed")));
        pg_conn* conn = m_session.get();
        try {
            RunPipeline(conn, statements);
            preparing.Keep();
        } catch (const component::Error&) {
            // The transaction or the savepoint is in a failed state: undo it, so the
            // caller's transaction stays usable.
            if (ownTransaction) {
                PQclear(PQexec(conn, "ROLLBACK"));
            } else {
                PQclear(PQexec(conn, m_savepoint.rollbackTo.constData()));
                PQclear(PQexec(conn, m_savepoint.release.constData()));
            }
            throw;
        }
    }

    void AddInserts(std::vector<PgStatement>& statements, PgPreparing& preparing) {
        const auto most = [](const Row& row) {
            return row.empty() ? 1 : qMin(kPgRowsPerInsert, 65535 / qsizetype(row.size()));
        };
        ForEachStatement(most, [&](qsizetype first, qsizetype count) {
            PgStatement insert;
            const QString text = CachedInsertFor(m_pending[std::size_t(first)], count, true);
            insert.sql = text.toUtf8();
            for (qsizetype r = first; r < first + count; ++r)
                for (const auto& [index, value] : m_pending[std::size_t(r)]) insert.values.append(value);
            insert.failure = RowsFailed(first, count);
            preparing.Use(QStringLiteral("insert") + QChar(0) + text, insert);
            statements.push_back(std::move(insert));
        });
    }

    const PgSavepoint m_savepoint{QStringLiteral("zarvik_batch")};
    PgSession& m_session;
};

}  // namespace

std::unique_ptr<component::UpdatableRecordset> NewPgBatchRecordset(
    const std::shared_ptr<ConnectionState>& state, PgSession& session, QString table, QStringList columns) {
    return std::make_unique<PgBatchRecordset>(state, session, std::move(table), std::move(columns));
}

}  // namespace zarvik::db
