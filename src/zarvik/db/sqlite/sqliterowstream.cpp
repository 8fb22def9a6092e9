// A row stream over SQLite that holds no read of the database while it is open.
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <atomic>

#include "zarvik/db/recordset.h"
#include "zarvik/db/sqlite/sqlitebackend.h"
#include "zarvik/db/sqlite/sqlitedialect.h"
#include "zarvik/db/tsql.h"

namespace zarvik::db {
namespace {

// SQLite: the result is copied into a temporary table of the reading connection
// first and handed out from there, so that no read of the database stays open while
// another connection commits the rewrites: a long read keeps the write-ahead log from
// being checkpointed (every commit then appends the same pages again), and in
// rollback-journal mode it would lock the writer out. The copy goes to a temporary
// file, not into memory (the connection's temp_store is set back afterwards), so the
// program holds one row at a time whatever the size of the result.
class SqliteCopyRowStream final : public component::RowStream {
public:
    SqliteCopyRowStream(std::shared_ptr<ConnectionState> state, const QString& sql)
        : m_state(std::move(state)), m_sent(RewriteTSql(sql, kSqliteDialect)), m_query(m_state->database) {
        static std::atomic<int> copies{0};
        m_table = QStringLiteral("temp.zarvik_stream_%1").arg(++copies);
        QSqlQuery copy(m_state->database);
        // Changing temp_store fails while temporary tables are in use; the copy then
        // stays where they are.
        if (copy.exec(QStringLiteral("PRAGMA temp_store")) && copy.next()) {
            const QString store = copy.value(0).toString();
            copy.finish();
            if (store != QStringLiteral("1") && copy.exec(QStringLiteral("PRAGMA temp_store=FILE")))
                m_restoreStore = store;
        }
        if (!copy.exec(QStringLiteral("CREATE TABLE %1 AS ").arg(m_table) + m_sent)) {
            const QSqlError error = copy.lastError();
            Drop();
            ThrowDatabaseError(QStringLiteral("The query failed"), error, m_sent);
        }
        m_query.setForwardOnly(true);
        const QString read = QStringLiteral("SELECT * FROM %1 ORDER BY rowid").arg(m_table);
        if (!m_query.exec(read)) {
            const QSqlError error = m_query.lastError();
            Drop();
            ThrowDatabaseError(QStringLiteral("The query failed"), error, m_sent);
        }
        m_columns = m_query.record().count();
    }

    ~SqliteCopyRowStream() override { Drop(); }

    bool Next(QVariantList& row) override {
        RequireOpen(*m_state);
        if (m_done) return false;
        if (NextRow(m_query, m_columns, m_sent, m_done, row)) return true;
        Drop();
        return false;
    }

private:
    void Drop() {
        if (m_dropped) return;
        m_dropped = true;
        m_query.finish();
        if (!m_state->database.isOpen()) return;
        // Only this connection sees the table; a failure to drop it ends with the connection.
        QSqlQuery drop(m_state->database);
        drop.exec(QStringLiteral("DROP TABLE IF EXISTS %1").arg(m_table));
        if (!m_restoreStore.isEmpty()) drop.exec(QStringLiteral("PRAGMA temp_store=%1").arg(m_restoreStore));
    }

    std::shared_ptr<ConnectionState> m_state;
    QString m_sent;
    QString m_table;
    QString m_restoreStore;
    QSqlQuery m_query;
    int m_columns = 0;
    bool m_done = false;
    bool m_dropped = false;
};

}  // namespace

std::unique_ptr<component::RowStream> NewSqliteCopyRowStream(const std::shared_ptr<ConnectionState>& state,
                                                             const QString& sql) {
    return std::make_unique<SqliteCopyRowStream>(state, sql);
}

}  // namespace zarvik::db
