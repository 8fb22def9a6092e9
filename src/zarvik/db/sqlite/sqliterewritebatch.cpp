// The rewrite batch on SQLite: no round trip to wait for; the statements run on the handle.
#include <sqlite3.h>

#include "zarvik/db/insertrows.h"
#include "zarvik/db/rewritebatch.h"
#include "zarvik/db/sqlite/sqlitebackend.h"
#include "zarvik/db/sqlite/sqlitedialect.h"

namespace zarvik::db {
namespace {

// In a write-ahead log the connection commits without a sync (synchronous=NORMAL,
// durable at its checkpoint); the commit of a Send is synced, since the caller counts
// its units as done. With a rollback journal every commit is synced already.
class SyncedCommits {
public:
    explicit SyncedCommits(SqliteBackend& backend) : m_backend(backend) {
        if (m_backend.WriteAheadLog()) Set("FULL");
    }
    ~SyncedCommits() {
        try {
            if (m_backend.WriteAheadLog()) Set("NORMAL");
        } catch (const component::Error&) {
            // Only slower commits on this connection.
        }
    }
    SyncedCommits(const SyncedCommits&) = delete;
    SyncedCommits& operator=(const SyncedCommits&) = delete;

private:
    void Set(const char* level) {
        m_backend.Handle().RunFixed(QStringLiteral("PRAGMA synchronous=") + QLatin1String(level),
                                    QStringLiteral("Rewriting the rows failed: PRAGMA"));
    }
    SqliteBackend& m_backend;
};

class SqliteRewriteBatch final : public RewriteBatchBase {
public:
    SqliteRewriteBatch(std::shared_ptr<ConnectionState> state, SqliteBackend& backend, QString table,
                       QStringList columns)
        : RewriteBatchBase(std::move(state), std::move(table), std::move(columns)),
          m_backend(backend),
          m_handle(backend.Handle()) {}

private:
    void RunUnits() override {
        const SyncedCommits synced(m_backend);
        const std::vector<ParameterizedSql> deletes = GroupDeletes(kSqliteDialect);
        if (!deletes.empty() && RunSqliteGroup(deletes)) {
            m_committed = qsizetype(m_units.size());
            return;
        }
        qsizetype unit = -1;
        try {
            m_handle.RunFixed(QStringLiteral("BEGIN"), StepFailure("BEGIN"));
            for (unit = 0; unit < qsizetype(m_units.size()); ++unit) RunSqliteUnit(std::size_t(unit));
            unit = -1;
            m_handle.RunFixed(QStringLiteral("COMMIT"), StepFailure("COMMIT"));
            m_committed = qsizetype(m_units.size());
        } catch (const component::Error&) {
            m_committed = CommitSqliteUnitsBefore(unit);
            throw;
        }
    }

    // The group in one transaction without savepoints; false when the database refused
    // it (nothing of it committed).
    bool RunSqliteGroup(const std::vector<ParameterizedSql>& deletes) {
        m_handle.RunFixed(QStringLiteral("BEGIN"), StepFailure("BEGIN"));
        try {
            for (const ParameterizedSql& del : deletes) {
                SqliteStatement statement(m_handle, del.text, true, GroupFailure(), del.text);
                statement.Bind(del.values);
                statement.StepToEnd(GroupFailure());
            }
            InsertSqliteRows(0, PendingRows(), GroupFailure());
            m_handle.RunFixed(QStringLiteral("COMMIT"), StepFailure("COMMIT"));
            return true;
        } catch (const component::Error&) {
            if (!sqlite3_get_autocommit(m_handle.get()))
                m_handle.RunFixed(QStringLiteral("ROLLBACK"), StepFailure("ROLLBACK"));
            return false;
        }
    }

    void RunSqliteUnit(std::size_t u) {
        const Unit& unit = m_units[u];
        m_handle.RunFixed(m_savepoint.set, StepFailure("SAVEPOINT"));
        m_handle.Execute(unit.deleteSql);
        InsertSqliteRows(unit.firstRow, unit.firstRow + unit.rows, UnitFailure(u));
        m_handle.RunFixed(m_savepoint.release, StepFailure("RELEASE"));
    }

    // The inserts of the rows [row, last), many rows a statement.
    void InsertSqliteRows(qsizetype row, qsizetype last, const QString& failure) {
        const qsizetype width = m_columns.size();
        ForEachInsert(row, last, kRowsPerInsert, [&](qsizetype first, qsizetype chunk) {
            const QString text = InsertText(chunk, false);
            SqliteStatement statement(m_handle, text, true, failure, text);
            sqlite3_stmt* s = statement.get();
            for (qsizetype i = 0; i < chunk * width; ++i)
                if (BindSqlite(s, int(i + 1), m_values[std::size_t(first * width + i)]) != SQLITE_OK)
                    statement.Throw(failure, QStringLiteral("Unable to bind parameters"));
            if (sqlite3_step(s) != SQLITE_DONE)
                statement.Throw(failure, QStringLiteral("Unable to fetch row"));
        });
    }

    // `failing` is the unit that failed, or -1 when the BEGIN or the COMMIT did.
    qsizetype CommitSqliteUnitsBefore(qsizetype failing) {
        if (sqlite3_get_autocommit(m_handle.get())) return 0;
        try {
            if (failing < 0) throw component::Error(component::errnum::kDatabase, kDatabaseSource, {});
            m_handle.RunFixed(QStringLiteral("ROLLBACK TO zarvik_unit"), StepFailure("ROLLBACK TO"));
            m_handle.RunFixed(QStringLiteral("COMMIT"), StepFailure("COMMIT"));
            return failing;
        } catch (const component::Error&) {
            try {
                if (!sqlite3_get_autocommit(m_handle.get()))
                    m_handle.RunFixed(QStringLiteral("ROLLBACK"), StepFailure("ROLLBACK"));
            } catch (const component::Error&) {
                // The failure that led here is what is reported.
            }
            return 0;
        }
    }

    SqliteBackend& m_backend;
    SqliteHandle& m_handle;
    const SavepointTexts m_savepoint = SavepointsOf(kSqliteDialect, QStringLiteral("zarvik_unit"));
};

}  // namespace

std::unique_ptr<component::RewriteBatch> NewSqliteRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                               SqliteBackend& backend, const QString& table,
                                                               const QStringList& columns) {
    return std::make_unique<SqliteRewriteBatch>(state, backend, table, columns);
}

}  // namespace zarvik::db
