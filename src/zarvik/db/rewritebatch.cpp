// Row streams and rewrite batches: what the user-node computation needs to read the
// catalog once and to write the rows of many users without waiting for each.
#include <libpq-fe.h>
#include <sqlite3.h>

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <atomic>
#include <limits>
#include <optional>
#include <vector>

#include "zarvik/db/database_p.h"
#include "zarvik/db/pgpipeline.h"
#include "zarvik/db/sqlitehandle.h"

namespace zarvik::db {
namespace {

// ---- streams -------------------------------------------------------------------

// The next row of a forward-only query into `row`; false at its end. A failure while
// stepping (a lock, a lost server) raises: it is not the end of the rows. `done` is set
// at the end and on a failure.
bool NextRow(QSqlQuery& query, int columns, const QString& sent, bool& done, QVariantList& row) {
    if (!query.next()) {
        done = true;
        if (query.lastError().isValid())
            ThrowDatabaseError(QStringLiteral("Reading the result failed"), query.lastError(), sent);
        return false;
    }
    row.resize(columns);
    for (int c = 0; c < columns; ++c) row[c] = query.value(c);
    return true;
}

// Rows read from the driver as they are asked for: Qt's PostgreSQL driver reads a
// forward-only result row by row.
class QueryRowStream final : public component::RowStream {
public:
    QueryRowStream(std::shared_ptr<ConnectionState> state, const QString& sql)
        : m_state(std::move(state)), m_sent(RewriteTSql(sql, m_state->dialect)), m_query(m_state->database) {
        m_query.setForwardOnly(true);
        if (!m_query.exec(m_sent))
            ThrowDatabaseError(QStringLiteral("The query failed"), m_query.lastError(), m_sent);
        m_columns = m_query.record().count();
    }

    bool Next(QVariantList& row) override {
        RequireOpen(*m_state);
        if (m_done) return false;
        if (NextRow(m_query, m_columns, m_sent, m_done, row)) return true;
        m_query.finish();
        return false;
    }

private:
    std::shared_ptr<ConnectionState> m_state;
    QString m_sent;
    QSqlQuery m_query;
    int m_columns = 0;
    bool m_done = false;
};

// The whole result read first, then handed out row by row.
class BufferedRowStream final : public component::RowStream {
public:
    explicit BufferedRowStream(std::unique_ptr<component::Recordset> result) {
        if (!(result->IsBOF() && result->IsEOF())) m_byColumn = result->GetRows();
        m_rows = m_byColumn.isEmpty() ? 0 : m_byColumn.first().size();
    }

    bool Next(QVariantList& row) override {
        if (m_position >= m_rows) return false;
        row.resize(m_byColumn.size());
        for (qsizetype c = 0; c < m_byColumn.size(); ++c) row[c] = m_byColumn[c][m_position];
        ++m_position;
        return true;
    }

private:
    QList<QVariantList> m_byColumn;
    qsizetype m_rows = 0;
    qsizetype m_position = 0;
};

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
        : m_state(std::move(state)), m_sent(RewriteTSql(sql, m_state->dialect)), m_query(m_state->database) {
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

// ---- rewrite batches -------------------------------------------------------------

bool PlainIdentifier(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral(R"(^[A-Za-z_][A-Za-z0-9_]*$)"));
    return pattern.match(name).hasMatch();
}

bool IsDelete(const QString& sql) {
    static const QRegularExpression pattern(QStringLiteral(R"(^\s*DELETE\s)"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern.match(sql).hasMatch();
}

class DbRewriteBatch final : public component::RewriteBatch {
public:
    DbRewriteBatch(std::shared_ptr<ConnectionState> state, QString table, QStringList columns)
        : m_state(std::move(state)), m_table(std::move(table)), m_columns(std::move(columns)) {}

    void BeginUnit(const QString& deleteSql) override {
        if (!IsDelete(deleteSql))
            throw component::Error(component::errnum::kInvalidArgument, kDatabaseSource,
                                   QStringLiteral("A rewrite starts with a DELETE: ") + deleteSql);
        m_units.push_back({deleteSql, qsizetype(m_values.size()) / m_columns.size(), 0});
    }

    void AddRow(const QVariantList& values) override {
        if (m_units.empty()) ThrowDatabaseError(QStringLiteral("AddRow without a unit"));
        if (values.size() != m_columns.size())
            ThrowDatabaseError(
                QStringLiteral("AddRow: %1 values for %2 columns").arg(values.size()).arg(m_columns.size()));
        m_values.insert(m_values.end(), values.begin(), values.end());
        ++m_units.back().rows;
    }

    qsizetype PendingUnits() const override { return qsizetype(m_units.size()); }
    qsizetype PendingRows() const override { return qsizetype(m_values.size()) / m_columns.size(); }
    qsizetype UnitsCommitted() const override { return m_committed; }

    void Send() override {
        m_committed = 0;
        if (m_units.empty()) return;
        try {
            RequireOpen(*m_state);
            if (m_state->inTransaction)
                throw component::Error(
                    component::errnum::kInvalidArgument, kDatabaseSource,
                    QStringLiteral("A rewrite batch needs a connection without a transaction"));
            RunUnits();
        } catch (...) {
            Cancel();
            throw;
        }
        Cancel();
    }

    void Cancel() override {
        m_units.clear();
        m_values.clear();
    }

private:
    struct Unit {
        QString deleteSql;
        qsizetype firstRow = 0;
        qsizetype rows = 0;
    };

    // Each unit is a transaction of its own, sent together with the others: when one
    // fails, the units before it have been committed, it is rolled back and the units
    // after it never ran. A killed process or a lost server leaves each unit committed
    // or not, as the database's own transactions do.
    void RunUnits() {
        if (m_state->dialect == Dialect::PostgreSQL)
            if (pg_conn* conn = PostgresHandleOf(m_state->database)) return RunPostgres(conn);
        if (m_state->dialect == Dialect::SQLite)
            if (sqlite3* db = SqliteHandleOf(m_state->database)) return RunSqlite(db);
        RunQt();
    }

    // The insert of `rows` rows, markers ? or (numbered) $1, $2, ...
    QString InsertText(qsizetype rows, bool numbered) {
        // Plain identifiers, unquoted: the database folds their case as it does in
        // the program's queries.
        if (m_names.isEmpty()) m_names = m_columns.join(QStringLiteral(", "));
        QString values;
        qsizetype mark = 0;
        for (qsizetype r = 0; r < rows; ++r) {
            values += r > 0 ? QStringLiteral(", (") : QStringLiteral("(");
            for (qsizetype c = 0; c < m_columns.size(); ++c) {
                if (c > 0) values += QStringLiteral(", ");
                values += numbered ? QLatin1Char('$') + QString::number(++mark) : QStringLiteral("?");
            }
            values += QLatin1Char(')');
        }
        return QStringLiteral("INSERT INTO ") + m_table + QStringLiteral(" (") + m_names +
               QStringLiteral(") VALUES ") + values;
    }

    // The largest power of two of rows, at most `most`, that fits in what is left.
    static qsizetype Chunk(qsizetype left, qsizetype most) {
        qsizetype chunk = 1;
        while (chunk * 2 <= left && chunk * 2 <= most) chunk *= 2;
        return chunk;
    }

    QString UnitFailure(std::size_t unit) const {
        return QStringLiteral("Rewriting the rows of %1 failed").arg(m_units[unit].deleteSql.trimmed());
    }

    // PostgreSQL: the whole group as one pipeline, one round trip, a transaction per
    // unit inside it.
    void RunPostgres(pg_conn* conn) {
        SendPendingBegin(*m_state->physical, conn);
        PhysicalConnection& physical = *m_state->physical;
        std::vector<PgStatement> statements;
        std::vector<std::size_t> commits;  // where each unit's COMMIT is
        std::vector<std::pair<QString, QByteArray>> preparing;
        auto prepared = [&](const QString& key, PgStatement& statement) {
            const auto found = physical.pgPrepared.constFind(key);
            if (found != physical.pgPrepared.constEnd()) {
                statement.prepared = found->name;
                return;
            }
            for (const auto& [k, name] : preparing)
                if (k == key) {
                    statement.prepared = name;
                    return;
                }
            statement.prepared = NewPgStatementName(physical);
            statement.prepare = !statement.prepared.isEmpty();
            if (statement.prepare) preparing.emplace_back(key, statement.prepared);
        };
        auto fixed = [&](const char* sql, const QString& failure) {
            PgStatement statement;
            statement.sql = sql;
            statement.failure = failure;
            statements.push_back(std::move(statement));
        };
        const qsizetype width = m_columns.size();
        const qsizetype most = qMin<qsizetype>(kPgRowsPerInsert, 65535 / width);
        for (std::size_t u = 0; u < m_units.size(); ++u) {
            const Unit& unit = m_units[u];
            fixed("BEGIN", QStringLiteral("Rewriting the rows failed: BEGIN"));
            const ParameterizedSql del = RewriteTSqlWithParameters(unit.deleteSql, Dialect::PostgreSQL);
            PgStatement remove;
            remove.sql = del.text.toUtf8();
            remove.values = del.values;
            remove.failure = UnitFailure(u);
            remove.shown = RewriteTSql(unit.deleteSql, Dialect::PostgreSQL).toUtf8();
            for (const QVariant& value : std::as_const(del.values)) {
                unsigned int type = 0;
                if (value.typeId() == QMetaType::LongLong) {
                    const qlonglong n = value.toLongLong();
                    type = n >= std::numeric_limits<qint32>::min() && n <= std::numeric_limits<qint32>::max()
                               ? 23u
                               : 20u;
                }
                remove.types.push_back(type);
            }
            // The delete is planned for each user's value, not prepared once: a plan
            // made while USERNODE was still small (the first run into an empty table)
            // would scan the whole table for every user once it has grown.
            statements.push_back(std::move(remove));
            qsizetype row = unit.firstRow;
            const qsizetype last = unit.firstRow + unit.rows;
            while (row < last) {
                const qsizetype chunk = Chunk(last - row, most);
                PgStatement insert;
                const QString text = InsertText(chunk, true);
                insert.sql = text.toUtf8();
                const auto from = m_values.begin() + row * width;
                insert.values = QVariantList(from, from + chunk * width);
                insert.failure = UnitFailure(u);
                prepared(QStringLiteral("insert") + QChar(0) + text, insert);
                statements.push_back(std::move(insert));
                row += chunk;
            }
            fixed("COMMIT", QStringLiteral("Rewriting the rows failed: COMMIT"));
            commits.push_back(statements.size() - 1);
        }
        std::size_t at = 0;  // stays 0 when the pipeline failed before any result
        try {
            RunPipeline(conn, statements, &at);
            m_committed = qsizetype(commits.size());
            for (const auto& [key, name] : preparing) physical.pgPrepared.insert(key, {name, {}, false});
        } catch (const component::Error&) {
            if (PQtransactionStatus(conn) != PQTRANS_IDLE) PQclear(PQexec(conn, "ROLLBACK"));
            // The units whose COMMIT came back before the failure.
            for (const std::size_t commit : commits)
                if (commit < at) ++m_committed;
            throw;
        }
    }

    // SQLite: no round trip to wait for; a transaction per unit on the handle.
    void RunSqlite(sqlite3* db) {
        PhysicalConnection& physical = *m_state->physical;
        const qsizetype width = m_columns.size();
        for (std::size_t u = 0; u < m_units.size(); ++u) {
            const Unit& unit = m_units[u];
            try {
                RunFixedSqlite(physical, db, QStringLiteral("BEGIN"),
                               QStringLiteral("Rewriting the rows failed: BEGIN"));
                ExecuteSqlite(physical, db, unit.deleteSql);
                qsizetype row = unit.firstRow;
                const qsizetype last = unit.firstRow + unit.rows;
                while (row < last) {
                    const qsizetype chunk = Chunk(last - row, kRowsPerInsert);
                    const QString text = InsertText(chunk, false);
                    SqliteStatement statement(physical, db, text, true, UnitFailure(u), text);
                    sqlite3_stmt* s = statement.get();
                    for (qsizetype i = 0; i < chunk * width; ++i)
                        if (BindSqlite(s, int(i + 1), m_values[std::size_t(row * width + i)]) != SQLITE_OK)
                            statement.Throw(UnitFailure(u), QStringLiteral("Unable to bind parameters"));
                    if (sqlite3_step(s) != SQLITE_DONE)
                        statement.Throw(UnitFailure(u), QStringLiteral("Unable to fetch row"));
                    row += chunk;
                }
                RunFixedSqlite(physical, db, QStringLiteral("COMMIT"),
                               QStringLiteral("Rewriting the rows failed: COMMIT"));
                ++m_committed;
            } catch (const component::Error&) {
                if (!sqlite3_get_autocommit(db)) {
                    try {
                        RunFixedSqlite(physical, db, QStringLiteral("ROLLBACK"),
                                       QStringLiteral("Rewriting the rows failed: ROLLBACK"));
                    } catch (const component::Error&) {
                        // The failure that led here is what is reported.
                    }
                }
                throw;
            }
        }
    }

    // Any other driver (ODBC): a Qt transaction per unit, the inserts of many rows each.
    void RunQt() {
        QSqlDatabase& db = m_state->database;
        const qsizetype width = m_columns.size();
        const bool multiRow = m_state->dialect != Dialect::SqlServer;
        for (std::size_t u = 0; u < m_units.size(); ++u) {
            const Unit& unit = m_units[u];
            if (!db.transaction())
                ThrowDatabaseError(QStringLiteral("Rewriting the rows failed: BEGIN"), db.lastError(), {});
            try {
                const QString sent = RewriteTSql(unit.deleteSql, m_state->dialect);
                QSqlQuery remove(db);
                if (!remove.exec(sent)) ThrowDatabaseError(UnitFailure(u), remove.lastError(), sent);
                qsizetype row = unit.firstRow;
                const qsizetype last = unit.firstRow + unit.rows;
                while (row < last) {
                    const qsizetype chunk = multiRow ? Chunk(last - row, kRowsPerInsert) : 1;
                    const QString text = InsertText(chunk, false);
                    QHash<QString, QSqlQuery>& cache = m_state->physical->prepared;
                    auto it = cache.find(text);
                    if (it == cache.end()) {
                        QSqlQuery query(db);
                        if (!query.prepare(text)) ThrowDatabaseError(UnitFailure(u), query.lastError(), text);
                        it = cache.insert(text, query);
                    }
                    for (qsizetype i = 0; i < chunk * width; ++i)
                        it->bindValue(int(i), m_values[std::size_t(row * width + i)]);
                    if (!it->exec()) ThrowDatabaseError(UnitFailure(u), it->lastError(), text);
                    row += chunk;
                }
                if (!db.commit())
                    ThrowDatabaseError(QStringLiteral("Rewriting the rows failed: COMMIT"), db.lastError(),
                                       {});
                ++m_committed;
            } catch (const component::Error&) {
                db.rollback();
                throw;
            }
        }
    }

    std::shared_ptr<ConnectionState> m_state;
    QString m_table;
    QStringList m_columns;
    QString m_names;
    std::vector<Unit> m_units;
    std::vector<QVariant> m_values;  // the rows one after another
    qsizetype m_committed = 0;
};

}  // namespace

std::unique_ptr<component::RowStream> NewRowStream(const std::shared_ptr<ConnectionState>& state,
                                                   const QString& sql) {
    RequireOpen(*state);
    if (state->dialect == Dialect::PostgreSQL && PostgresHandleOf(state->database)) {
        SendPendingBegin(*state->physical, PostgresHandleOf(state->database));
        return std::make_unique<QueryRowStream>(state, sql);
    }
    if (state->dialect == Dialect::SQLite && SqliteHandleOf(state->database))
        return std::make_unique<SqliteCopyRowStream>(state, sql);
    return std::make_unique<BufferedRowStream>(NewRecordset(state, sql));
}

std::unique_ptr<component::RewriteBatch> NewRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                         const QString& table, const QStringList& columns) {
    RequireOpen(*state);
    bool plain = PlainIdentifier(table) && !columns.isEmpty();
    for (const QString& column : columns) plain = plain && PlainIdentifier(column);
    if (!plain)
        throw component::Error(component::errnum::kInvalidArgument, kDatabaseSource,
                               QStringLiteral("A rewrite needs a plain table name and column names: %1 (%2)")
                                   .arg(table, columns.join(QStringLiteral(", "))));
    return std::make_unique<DbRewriteBatch>(state, table, columns);
}

}  // namespace zarvik::db
