// The rewrite batch on PostgreSQL: the whole Send as one pipeline, one round trip.
#include <libpq-fe.h>

#include <algorithm>

#include "zarvik/db/insertrows.h"
#include "zarvik/db/pg/pgbackend.h"
#include "zarvik/db/pg/pgcopy.h"
#include "zarvik/db/pg/pgdialect.h"
#include "zarvik/db/rewritebatch.h"

namespace zarvik::db {
namespace {

class PgRewriteBatch final : public RewriteBatchBase {
public:
    PgRewriteBatch(std::shared_ptr<ConnectionState> state, PgSession& session, QString table,
                   QStringList columns)
        : RewriteBatchBase(std::move(state), std::move(table), std::move(columns)), m_session(session) {}

private:
    struct PgPlan {
        explicit PgPlan(PgStatementCache& cache) : preparing(cache) {}
        std::vector<PgStatement> statements;
        std::vector<std::size_t> unitStarts;  // where each unit's SAVEPOINT is
        PgPreparing preparing;
    };

    static void AddFixed(PgPlan& plan, const QByteArray& sql) {
        PgStatement statement;
        statement.sql = sql;
        statement.failure = StepFailure(sql.constData());
        plan.statements.push_back(std::move(statement));
    }

    PgStatement PgDelete(std::size_t u) const {
        PgStatement remove = PgDelete(RewriteTSqlWithParameters(m_units[u].deleteSql, kPgDialect));
        remove.failure = UnitFailure(u);
        remove.shown = RewriteTSql(m_units[u].deleteSql, kPgDialect).toUtf8();
        return remove;
    }

    static PgStatement PgDelete(const ParameterizedSql& del) {
        PgStatement remove;
        remove.sql = del.text.toUtf8();
        remove.values = del.values;
        for (const QVariant& value : std::as_const(del.values))
            remove.types.push_back(PgParameterType(value));
        return remove;
    }

    void AddPgUnit(PgPlan& plan, std::size_t u) {
        const Unit& unit = m_units[u];
        plan.unitStarts.push_back(plan.statements.size());
        AddFixed(plan, m_savepoint.set);
        // The delete is planned for each user's value, not prepared once: a plan
        // made while USERNODE was still small (the first run into an empty table)
        // would scan the whole table for every user once it has grown.
        plan.statements.push_back(PgDelete(u));
        AddPgInserts(plan, unit.firstRow, unit.firstRow + unit.rows, UnitFailure(u));
        AddFixed(plan, m_savepoint.release);
    }

    // The inserts of the rows [row, last), in prepared statements of many rows each.
    void AddPgInserts(PgPlan& plan, qsizetype row, qsizetype last, const QString& failure) {
        const qsizetype width = m_columns.size();
        const qsizetype most = qMin<qsizetype>(kPgRowsPerInsert, 65535 / width);
        ForEachInsert(row, last, most, [&](qsizetype first, qsizetype chunk) {
            PgStatement insert;
            const QString text = InsertText(chunk, true);
            insert.sql = text.toUtf8();
            const auto from = m_values.begin() + first * width;
            insert.values = QVariantList(from, from + chunk * width);
            insert.failure = failure;
            plan.preparing.Use(QStringLiteral("insert") + QChar(0) + text, insert);
            plan.statements.push_back(std::move(insert));
        });
    }

    // The group in one transaction without savepoints; false when the database refused
    // it (nothing of it committed). Raises when the server is lost. The deletes go as
    // one pipeline, the rows as one COPY stream, the COMMIT only after the whole stream
    // was taken: a run killed on the way leaves the transaction to be rolled back.
    bool RunPostgresGroup(pg_conn* conn, const std::vector<ParameterizedSql>& deletes) {
        PgPlan plan(m_session.Statements());
        AddPgBegin(plan);
        for (const ParameterizedSql& del : deletes) {
            plan.statements.push_back(PgDelete(del));
            plan.statements.back().failure = GroupFailure();
        }
        try {
            RunPipeline(conn, plan.statements);
            CopyRows(conn, m_table, m_columns, m_values, GroupFailure());
            RunTransactionStatement(conn, "COMMIT", StepFailure("COMMIT"));
        } catch (const component::Error&) {
            if (PQtransactionStatus(conn) != PQTRANS_IDLE) PQclear(PQexec(conn, "ROLLBACK"));
            if (PQstatus(conn) != CONNECTION_OK) throw;
            return false;
        }
        return true;
    }

    // The transaction, its planner setting and the table lock. A group's delete
    // names a few hundred keys of a table of millions of rows; before the server
    // has statistics of the table (a table that grew in the runs of the last minute,
    // or was just restored) it guesses that such a list matches most rows and scans
    // the whole table for every group, which made the run quadratic. The deletes
    // here always name few rows: an index on the key, where there is one, is right.
    void AddPgBegin(PgPlan& plan) const {
        AddFixed(plan, "BEGIN");
        AddFixed(plan, "SET LOCAL enable_seqscan = off");
        AddPgTableLock(plan);
    }

    // The group's transaction first waits for any other rewrite of the table to end. A
    // killed run's server process goes on with the pipeline it had received, up to its
    // COMMIT; a run started meanwhile would delete a user's rows before that commit and
    // keep the rows it inserts beside its own.
    void AddPgTableLock(PgPlan& plan) const {
        PgStatement lock;
        lock.sql = QStringLiteral("SELECT pg_advisory_xact_lock(hashtext('zarvik.rewrite.%1'))")
                       .arg(m_table.toUpper())
                       .toUtf8();
        lock.failure = StepFailure("waiting for another rewrite of the table");
        plan.statements.push_back(std::move(lock));
    }

    void RunUnits() override {
        pg_conn* conn = m_session.get();
        m_session.SendPendingBegin();
        const std::vector<ParameterizedSql> deletes = GroupDeletes(kPgDialect);
        if (!deletes.empty() && RunPostgresGroup(conn, deletes)) {
            m_committed = qsizetype(m_units.size());
            return;
        }
        RunPostgresUnitByUnit(conn);
    }

    // A savepoint per unit: finds the unit the database refuses.
    void RunPostgresUnitByUnit(pg_conn* conn) {
        PgPlan plan(m_session.Statements());
        AddPgBegin(plan);
        for (std::size_t u = 0; u < m_units.size(); ++u) AddPgUnit(plan, u);
        AddFixed(plan, "COMMIT");
        std::size_t at = 0;  // stays 0 when the pipeline failed before any result
        try {
            RunPipeline(conn, plan.statements, &at);
            m_committed = qsizetype(m_units.size());
            plan.preparing.Keep();
        } catch (const component::Error&) {
            m_committed = CommitPgUnitsBefore(conn, plan, at);
            throw;
        }
    }

    // After a failure at statement `at`: back to the failing unit's savepoint and the
    // units before it committed. Returns how many were; none when the BEGIN or the
    // COMMIT failed or the server no longer answers.
    qsizetype CommitPgUnitsBefore(pg_conn* conn, const PgPlan& plan, std::size_t at) {
        const auto after = std::upper_bound(plan.unitStarts.begin(), plan.unitStarts.end(), at);
        const qsizetype failing = qsizetype(after - plan.unitStarts.begin()) - 1;
        const bool inUnit = failing >= 0 && at + 1 < plan.statements.size();
        if (inUnit) {
            try {
                RunTransactionStatement(conn, m_savepoint.rollbackTo.constData(), StepFailure("ROLLBACK TO"));
                RunTransactionStatement(conn, "COMMIT", StepFailure("COMMIT"));
                return failing;
            } catch (const component::Error&) {
                // The failure that led here is what is reported.
            }
        }
        if (PQtransactionStatus(conn) != PQTRANS_IDLE) PQclear(PQexec(conn, "ROLLBACK"));
        return 0;
    }

    const PgSavepoint m_savepoint{QStringLiteral("zarvik_unit")};
    PgSession& m_session;
};

}  // namespace

std::unique_ptr<component::RewriteBatch> NewPgRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                           PgSession& session, const QString& table,
                                                           const QStringList& columns) {
    return std::make_unique<PgRewriteBatch>(state, session, table, columns);
}

}  // namespace zarvik::db
