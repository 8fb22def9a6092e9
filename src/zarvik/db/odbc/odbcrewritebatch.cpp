// The rewrite batch over ODBC: the driver's transactions, a savepoint per unit where
// the database has them.
#include <QSqlError>
#include <QSqlQuery>

#include "zarvik/db/insertrows.h"
#include "zarvik/db/odbc/odbcbackend.h"
#include "zarvik/db/rewritebatch.h"

namespace zarvik::db {
namespace {

class OdbcRewriteBatch final : public RewriteBatchBase {
public:
    OdbcRewriteBatch(std::shared_ptr<ConnectionState> state, OdbcBackend& backend, QString table,
                     QStringList columns)
        : RewriteBatchBase(std::move(state), std::move(table), std::move(columns)), m_backend(backend) {}

private:
    bool ExecQt(const QString& sql) {
        QSqlQuery query(m_backend.Database());
        return query.exec(sql);
    }

    // One transaction and a savepoint per unit; a driver or database that refuses the
    // first savepoint gets a transaction per unit from then on (a wait for the disk at
    // every unit, each unit still whole or not at all).
    void RunUnits() override {
        QSqlDatabase db = m_backend.Database();
        if (m_noSavepoints) return RunQtUnitByUnit();
        const SavepointTexts savepoint = SavepointsOf(m_backend.dialect(), QStringLiteral("zarvik_unit"));
        if (!db.transaction()) ThrowDatabaseError(StepFailure("BEGIN"), db.lastError(), {});
        if (!ExecQt(savepoint.set)) {
            db.rollback();
            m_noSavepoints = true;
            return RunQtUnitByUnit();
        }
        std::size_t u = 0;
        try {
            for (; u < m_units.size(); ++u) {
                if (u > 0 && !ExecQt(savepoint.set))
                    ThrowDatabaseError(StepFailure("SAVEPOINT"), db.lastError(), savepoint.set);
                RunQtUnit(u);
                if (!savepoint.release.isEmpty() && !ExecQt(savepoint.release))
                    ThrowDatabaseError(StepFailure("RELEASE"), db.lastError(), savepoint.release);
            }
            if (!db.commit()) {
                u = m_units.size();
                ThrowDatabaseError(StepFailure("COMMIT"), db.lastError(), {});
            }
            m_committed = qsizetype(m_units.size());
        } catch (const component::Error&) {
            m_committed =
                u < m_units.size() && ExecQt(savepoint.rollbackTo) && db.commit() ? qsizetype(u) : 0;
            if (m_committed == 0) db.rollback();
            throw;
        }
    }

    void RunQtUnitByUnit() {
        QSqlDatabase db = m_backend.Database();
        for (std::size_t u = 0; u < m_units.size(); ++u) {
            if (!db.transaction()) ThrowDatabaseError(StepFailure("BEGIN"), db.lastError(), {});
            try {
                RunQtUnit(u);
                if (!db.commit()) ThrowDatabaseError(StepFailure("COMMIT"), db.lastError(), {});
                ++m_committed;
            } catch (const component::Error&) {
                db.rollback();
                throw;
            }
        }
    }

    // The delete and the inserts of many rows each of one unit.
    void RunQtUnit(std::size_t u) {
        QSqlDatabase db = m_backend.Database();
        const Unit& unit = m_units[u];
        const qsizetype width = m_columns.size();
        const bool multiRow = m_backend.dialect().multiRowInsert;
        const QString sent = RewriteTSql(unit.deleteSql, m_backend.dialect());
        QSqlQuery remove(db);
        if (!remove.exec(sent)) ThrowDatabaseError(UnitFailure(u), remove.lastError(), sent);
        const qsizetype most = multiRow ? kRowsPerInsert : 1;
        ForEachInsert(unit.firstRow, unit.firstRow + unit.rows, most, [&](qsizetype first, qsizetype chunk) {
            const QString text = InsertText(chunk, false);
            QSqlQuery& insert = m_backend.Prepared(text, UnitFailure(u));
            for (qsizetype i = 0; i < chunk * width; ++i)
                insert.bindValue(int(i), m_values[std::size_t(first * width + i)]);
            if (!insert.exec()) ThrowDatabaseError(UnitFailure(u), insert.lastError(), text);
        });
    }

    OdbcBackend& m_backend;
    bool m_noSavepoints = false;  // the driver refused a savepoint
};

}  // namespace

std::unique_ptr<component::RewriteBatch> NewOdbcRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                             OdbcBackend& backend, const QString& table,
                                                             const QStringList& columns) {
    return std::make_unique<OdbcRewriteBatch>(state, backend, table, columns);
}

}  // namespace zarvik::db
