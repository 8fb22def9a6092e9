// Row streams and rewrite batches: what the user-node computation needs to read the
// catalog once and to write the rows of many users without waiting for each.
#include <libpq-fe.h>
#include <sqlite3.h>

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <algorithm>
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

    // All units of a Send are one transaction, so that the run waits for the disk once
    // per Send, not once per unit. On PostgreSQL and SQLite the group goes first as one
    // delete of all its units' rows and inserts that run across units; when the
    // database refuses anything, that transaction is rolled back whole and the group is
    // sent again with a savepoint per unit, which finds the failing unit: the
    // transaction goes back to its savepoint and the units before it are committed.
    // The units of one Send rewrite distinct rows, so deleting them all before the
    // inserts gives the same rows. A killed process or a lost server leaves the whole
    // Send committed or not, so every unit has all of its old rows or all of its new
    // ones.
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

    static QString StepFailure(const char* step) {
        return QStringLiteral("Rewriting the rows failed: ") + QLatin1String(step);
    }

    // The deletes of all units as a few statements on many values each, when every
    // unit's delete is the same statement on one value ("DELETE FROM t WHERE c = v");
    // none otherwise. Markers as the dialect writes them.
    std::vector<ParameterizedSql> GroupDeletes(Dialect dialect) const {
        static const QRegularExpression shape(
            QStringLiteral(R"(^\s*DELETE\s+FROM\s+(\w+)\s+WHERE\s+(\w+)\s*=\s*(\$1|\?)\s*$)"),
            QRegularExpression::CaseInsensitiveOption);
        constexpr qsizetype kValuesPerDelete = 500;
        QString first;
        QString head;
        QVariantList values;
        for (const Unit& unit : m_units) {
            const ParameterizedSql one = RewriteTSqlWithParameters(unit.deleteSql, dialect);
            if (one.values.size() != 1) return {};
            if (head.isEmpty()) {
                const QRegularExpressionMatch match = shape.match(one.text);
                if (!match.hasMatch()) return {};
                first = one.text;
                head =
                    QStringLiteral("DELETE FROM %1 WHERE %2 IN (").arg(match.captured(1), match.captured(2));
            } else if (one.text != first) {
                return {};
            }
            values.append(one.values.first());
        }
        std::vector<ParameterizedSql> deletes;
        for (qsizetype from = 0; from < values.size(); from += kValuesPerDelete) {
            ParameterizedSql group;
            group.values = values.mid(from, kValuesPerDelete);
            QStringList markers;
            for (qsizetype i = 0; i < group.values.size(); ++i)
                markers.append(dialect == Dialect::PostgreSQL ? QStringLiteral("$%1").arg(i + 1)
                                                              : QStringLiteral("?"));
            group.text = head + markers.join(QStringLiteral(", ")) + QLatin1Char(')');
            deletes.push_back(std::move(group));
        }
        return deletes;
    }

    QString GroupFailure() const {
        return QStringLiteral("Rewriting the rows of %1 units failed").arg(m_units.size());
    }

    // ---- PostgreSQL: the whole Send as one pipeline, one round trip -------------------

    struct PgPlan {
        std::vector<PgStatement> statements;
        std::vector<std::size_t> unitStarts;  // where each unit's SAVEPOINT is
        std::vector<std::pair<QString, QByteArray>> preparing;
    };

    static void AddFixed(PgPlan& plan, const char* sql) {
        PgStatement statement;
        statement.sql = sql;
        statement.failure = StepFailure(sql);
        plan.statements.push_back(std::move(statement));
    }

    // The insert runs as a statement prepared once per connection and shape.
    void UsePrepared(PgPlan& plan, const QString& key, PgStatement& statement) {
        PhysicalConnection& physical = *m_state->physical;
        const auto found = physical.pgPrepared.constFind(key);
        if (found != physical.pgPrepared.constEnd()) {
            statement.prepared = found->name;
            return;
        }
        for (const auto& [k, name] : plan.preparing)
            if (k == key) {
                statement.prepared = name;
                return;
            }
        statement.prepared = NewPgStatementName(physical);
        statement.prepare = !statement.prepared.isEmpty();
        if (statement.prepare) plan.preparing.emplace_back(key, statement.prepared);
    }

    PgStatement PgDelete(std::size_t u) const {
        PgStatement remove = PgDelete(RewriteTSqlWithParameters(m_units[u].deleteSql, Dialect::PostgreSQL));
        remove.failure = UnitFailure(u);
        remove.shown = RewriteTSql(m_units[u].deleteSql, Dialect::PostgreSQL).toUtf8();
        return remove;
    }

    static PgStatement PgDelete(const ParameterizedSql& del) {
        PgStatement remove;
        remove.sql = del.text.toUtf8();
        remove.values = del.values;
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
        return remove;
    }

    void AddPgUnit(PgPlan& plan, std::size_t u) {
        const Unit& unit = m_units[u];
        plan.unitStarts.push_back(plan.statements.size());
        AddFixed(plan, "SAVEPOINT zarvik_unit");
        // The delete is planned for each user's value, not prepared once: a plan
        // made while USERNODE was still small (the first run into an empty table)
        // would scan the whole table for every user once it has grown.
        plan.statements.push_back(PgDelete(u));
        AddPgInserts(plan, unit.firstRow, unit.firstRow + unit.rows, UnitFailure(u));
        AddFixed(plan, "RELEASE SAVEPOINT zarvik_unit");
    }

    // The inserts of the rows [row, last), in prepared statements of many rows each.
    void AddPgInserts(PgPlan& plan, qsizetype row, qsizetype last, const QString& failure) {
        const qsizetype width = m_columns.size();
        const qsizetype most = qMin<qsizetype>(kPgRowsPerInsert, 65535 / width);
        while (row < last) {
            const qsizetype chunk = Chunk(last - row, most);
            PgStatement insert;
            const QString text = InsertText(chunk, true);
            insert.sql = text.toUtf8();
            const auto from = m_values.begin() + row * width;
            insert.values = QVariantList(from, from + chunk * width);
            insert.failure = failure;
            UsePrepared(plan, QStringLiteral("insert") + QChar(0) + text, insert);
            plan.statements.push_back(std::move(insert));
            row += chunk;
        }
    }

    void RememberPrepared(const PgPlan& plan) {
        for (const auto& [key, name] : plan.preparing)
            m_state->physical->pgPrepared.insert(key, {name, {}, false});
    }

    // The group in one transaction without savepoints; false when the database refused
    // it (nothing of it committed). Raises when the server is lost.
    bool RunPostgresGroup(pg_conn* conn, const std::vector<ParameterizedSql>& deletes) {
        PgPlan plan;
        AddFixed(plan, "BEGIN");
        AddPgTableLock(plan);
        for (const ParameterizedSql& del : deletes) {
            plan.statements.push_back(PgDelete(del));
            plan.statements.back().failure = GroupFailure();
        }
        AddPgInserts(plan, 0, PendingRows(), GroupFailure());
        AddFixed(plan, "COMMIT");
        try {
            RunPipeline(conn, plan.statements);
        } catch (const component::Error&) {
            if (PQtransactionStatus(conn) != PQTRANS_IDLE) PQclear(PQexec(conn, "ROLLBACK"));
            if (PQstatus(conn) != CONNECTION_OK) throw;
            return false;
        }
        RememberPrepared(plan);
        return true;
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

    void RunPostgres(pg_conn* conn) {
        SendPendingBegin(*m_state->physical, conn);
        const std::vector<ParameterizedSql> deletes = GroupDeletes(Dialect::PostgreSQL);
        if (!deletes.empty() && RunPostgresGroup(conn, deletes)) {
            m_committed = qsizetype(m_units.size());
            return;
        }
        RunPostgresUnitByUnit(conn);
    }

    // A savepoint per unit: finds the unit the database refuses.
    void RunPostgresUnitByUnit(pg_conn* conn) {
        PgPlan plan;
        AddFixed(plan, "BEGIN");
        AddPgTableLock(plan);
        for (std::size_t u = 0; u < m_units.size(); ++u) AddPgUnit(plan, u);
        AddFixed(plan, "COMMIT");
        std::size_t at = 0;  // stays 0 when the pipeline failed before any result
        try {
            RunPipeline(conn, plan.statements, &at);
            m_committed = qsizetype(m_units.size());
            RememberPrepared(plan);
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
                RunTransactionStatement(conn, "ROLLBACK TO SAVEPOINT zarvik_unit",
                                        StepFailure("ROLLBACK TO"));
                RunTransactionStatement(conn, "COMMIT", StepFailure("COMMIT"));
                return failing;
            } catch (const component::Error&) {
                // The failure that led here is what is reported.
            }
        }
        if (PQtransactionStatus(conn) != PQTRANS_IDLE) PQclear(PQexec(conn, "ROLLBACK"));
        return 0;
    }

    // ---- SQLite: no round trip to wait for; the statements run on the handle -----------

    void RunSqlite(sqlite3* db) {
        PhysicalConnection& physical = *m_state->physical;
        // In WAL mode the connection commits without a sync (synchronous=NORMAL, durable
        // at its checkpoint); the commit of a Send is synced, since the caller counts its
        // units as done. With a rollback journal the connection syncs every commit.
        if (physical.sqliteSynchronous != QStringLiteral("FULL"))
            RunFixedSqlite(physical, db, QStringLiteral("PRAGMA synchronous=FULL"), StepFailure("PRAGMA"));
        const std::vector<ParameterizedSql> deletes = GroupDeletes(Dialect::SQLite);
        try {
            if (!deletes.empty() && RunSqliteGroup(db, deletes)) {
                m_committed = qsizetype(m_units.size());
                RestoreSqliteSync(db);
                return;
            }
        } catch (const component::Error&) {
            RestoreSqliteSync(db);
            throw;
        }
        qsizetype unit = -1;
        try {
            RunFixedSqlite(physical, db, QStringLiteral("BEGIN"), StepFailure("BEGIN"));
            for (unit = 0; unit < qsizetype(m_units.size()); ++unit) RunSqliteUnit(db, std::size_t(unit));
            unit = -1;
            RunFixedSqlite(physical, db, QStringLiteral("COMMIT"), StepFailure("COMMIT"));
            m_committed = qsizetype(m_units.size());
        } catch (const component::Error&) {
            m_committed = CommitSqliteUnitsBefore(db, unit);
            RestoreSqliteSync(db);
            throw;
        }
        RestoreSqliteSync(db);
    }

    // The group in one transaction without savepoints; false when the database refused
    // it (nothing of it committed).
    bool RunSqliteGroup(sqlite3* db, const std::vector<ParameterizedSql>& deletes) {
        PhysicalConnection& physical = *m_state->physical;
        RunFixedSqlite(physical, db, QStringLiteral("BEGIN"), StepFailure("BEGIN"));
        try {
            for (const ParameterizedSql& del : deletes) {
                SqliteStatement statement(physical, db, del.text, true, GroupFailure(), del.text);
                statement.Bind(del.values);
                statement.StepToEnd(GroupFailure());
            }
            InsertSqliteRows(db, 0, PendingRows(), GroupFailure());
            RunFixedSqlite(physical, db, QStringLiteral("COMMIT"), StepFailure("COMMIT"));
            return true;
        } catch (const component::Error&) {
            if (!sqlite3_get_autocommit(db))
                RunFixedSqlite(physical, db, QStringLiteral("ROLLBACK"), StepFailure("ROLLBACK"));
            return false;
        }
    }

    void RunSqliteUnit(sqlite3* db, std::size_t u) {
        PhysicalConnection& physical = *m_state->physical;
        const Unit& unit = m_units[u];
        RunFixedSqlite(physical, db, QStringLiteral("SAVEPOINT zarvik_unit"), StepFailure("SAVEPOINT"));
        ExecuteSqlite(physical, db, unit.deleteSql);
        InsertSqliteRows(db, unit.firstRow, unit.firstRow + unit.rows, UnitFailure(u));
        RunFixedSqlite(physical, db, QStringLiteral("RELEASE zarvik_unit"), StepFailure("RELEASE"));
    }

    // The inserts of the rows [row, last), many rows a statement.
    void InsertSqliteRows(sqlite3* db, qsizetype row, qsizetype last, const QString& failure) {
        PhysicalConnection& physical = *m_state->physical;
        const qsizetype width = m_columns.size();
        while (row < last) {
            const qsizetype chunk = Chunk(last - row, kRowsPerInsert);
            const QString text = InsertText(chunk, false);
            SqliteStatement statement(physical, db, text, true, failure, text);
            sqlite3_stmt* s = statement.get();
            for (qsizetype i = 0; i < chunk * width; ++i)
                if (BindSqlite(s, int(i + 1), m_values[std::size_t(row * width + i)]) != SQLITE_OK)
                    statement.Throw(failure, QStringLiteral("Unable to bind parameters"));
            if (sqlite3_step(s) != SQLITE_DONE)
                statement.Throw(failure, QStringLiteral("Unable to fetch row"));
            row += chunk;
        }
    }

    // `failing` is the unit that failed, or -1 when the BEGIN or the COMMIT did.
    qsizetype CommitSqliteUnitsBefore(sqlite3* db, qsizetype failing) {
        if (sqlite3_get_autocommit(db)) return 0;
        PhysicalConnection& physical = *m_state->physical;
        try {
            if (failing < 0) throw component::Error(component::errnum::kDatabase, kDatabaseSource, {});
            RunFixedSqlite(physical, db, QStringLiteral("ROLLBACK TO zarvik_unit"),
                           StepFailure("ROLLBACK TO"));
            RunFixedSqlite(physical, db, QStringLiteral("COMMIT"), StepFailure("COMMIT"));
            return failing;
        } catch (const component::Error&) {
            try {
                if (!sqlite3_get_autocommit(db))
                    RunFixedSqlite(physical, db, QStringLiteral("ROLLBACK"), StepFailure("ROLLBACK"));
            } catch (const component::Error&) {
                // The failure that led here is what is reported.
            }
            return 0;
        }
    }

    void RestoreSqliteSync(sqlite3* db) {
        const QString level = m_state->physical->sqliteSynchronous;
        if (level == QStringLiteral("FULL")) return;
        try {
            RunFixedSqlite(*m_state->physical, db, QStringLiteral("PRAGMA synchronous=") + level,
                           StepFailure("PRAGMA"));
        } catch (const component::Error&) {
            // Only slower commits on this connection.
        }
    }

    // ---- any other driver (ODBC): the driver's transactions -------------------------------

    // The savepoint statements of the dialect: set, release (empty when it has none),
    // roll back to.
    struct SavepointTexts {
        QString set, release, rollbackTo;
    };
    SavepointTexts Savepoints() const {
        if (m_state->dialect == Dialect::SqlServer)
            return {QStringLiteral("SAVE TRANSACTION zarvik_unit"),
                    {},
                    QStringLiteral("ROLLBACK TRANSACTION zarvik_unit")};
        return {QStringLiteral("SAVEPOINT zarvik_unit"), QStringLiteral("RELEASE SAVEPOINT zarvik_unit"),
                QStringLiteral("ROLLBACK TO SAVEPOINT zarvik_unit")};
    }

    bool ExecQt(const QString& sql) {
        QSqlQuery query(m_state->database);
        return query.exec(sql);
    }

    // One transaction and a savepoint per unit; a driver or database that refuses the
    // first savepoint gets a transaction per unit from then on (a wait for the disk at
    // every unit, each unit still whole or not at all).
    void RunQt() {
        QSqlDatabase& db = m_state->database;
        if (m_noSavepoints) return RunQtUnitByUnit();
        const SavepointTexts savepoint = Savepoints();
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
        QSqlDatabase& db = m_state->database;
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
        QSqlDatabase& db = m_state->database;
        const Unit& unit = m_units[u];
        const qsizetype width = m_columns.size();
        const bool multiRow = m_state->dialect != Dialect::SqlServer;
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
    }

    std::shared_ptr<ConnectionState> m_state;
    QString m_table;
    QStringList m_columns;
    QString m_names;
    std::vector<Unit> m_units;
    std::vector<QVariant> m_values;  // the rows one after another
    qsizetype m_committed = 0;
    bool m_noSavepoints = false;  // the driver refused a savepoint
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
