// Recordsets over Qt SQL: a read result held in memory, and a result that collects
// new rows and sends them as one batch of prepared inserts. On SQLite both go to the
// handle under the Qt connection directly: the computation of USERNODE runs tens of
// thousands of small queries, and Qt's per-value caching and binding cost more than
// SQLite's own work on them.
#include <libpq-fe.h>
#include <sqlite3.h>

#include <QHash>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <algorithm>
#include <limits>
#include <optional>

#include "zarvik/db/database_p.h"
#include "zarvik/db/pgpipeline.h"
#include "zarvik/db/sqlitehandle.h"

namespace zarvik::db {
namespace {

qsizetype ColumnIndex(const QStringList& columns, const QString& name) {
    // Callers mostly spell the names as the table does; that compare is the cheap one.
    for (qsizetype i = 0; i < columns.size(); ++i)
        if (columns.at(i) == name) return i;
    for (qsizetype i = 0; i < columns.size(); ++i)
        if (columns.at(i).compare(name, Qt::CaseInsensitive) == 0) return i;
    return -1;
}

// A whole result held by column: one list per column rather than one per row, since
// the USERNODE computation reads tens of thousands of results of many rows.
class MemoryRecordset final : public component::Recordset {
public:
    MemoryRecordset(QStringList columns, QList<QVariantList> byColumn)
        : m_columns(std::move(columns)), m_values(std::move(byColumn)) {
        m_values.resize(m_columns.size());
        m_rows = m_values.isEmpty() ? 0 : m_values.first().size();
    }

    bool IsEOF() const override { return m_position >= m_rows; }
    // Without MovePrevious the position is never before the first row; only an
    // empty result is at its start and its end at once.
    bool IsBOF() const override { return m_rows == 0; }

    QVariant Field(const QString& column) const override {
        const qsizetype index = ColumnIndex(m_columns, column);
        if (index < 0) ThrowDatabaseError(QStringLiteral("The result has no column ") + column);
        if (IsEOF())
            ThrowDatabaseError(QStringLiteral("No current row (the result is at its end) for column ") +
                               column);
        return m_values.at(index).at(m_position);
    }

    void MoveNext() override {
        if (IsEOF()) ThrowDatabaseError(QStringLiteral("MoveNext at the end of the result"));
        ++m_position;
    }

    void MoveFirst() override { m_position = 0; }

    QList<QVariantList> GetRows() override {
        QList<QVariantList> byColumn;
        if (m_position == 0) {
            byColumn = m_values;  // shared, not copied
        } else {
            byColumn.reserve(m_values.size());
            for (const QVariantList& column : std::as_const(m_values))
                byColumn.append(column.mid(m_position));
        }
        m_position = m_rows;
        return byColumn;
    }

private:
    QStringList m_columns;
    QList<QVariantList> m_values;  // [column][row]
    qsizetype m_rows = 0;
    qsizetype m_position = 0;
};

// The table of "SELECT * FROM <table> ...", optionally with its schema.
QString TargetTable(const QString& sql) {
    static const QRegularExpression pattern(
        QStringLiteral(
            R"(^\s*SELECT\s+\*\s+FROM\s+((?:[A-Za-z_][A-Za-z0-9_]*\.)?[A-Za-z_][A-Za-z0-9_]*)(?:\s|;|$))"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(sql);
    if (!match.hasMatch())
        throw component::Error(
            component::errnum::kInvalidArgument, kDatabaseSource,
            QStringLiteral("An updatable result must be opened with SELECT * FROM <table>: ") + sql);
    return match.captured(1);
}

// What a failed insert of `count` rows from row `first` (0-based) of `total` says.
QString RowsFailed(qsizetype first, qsizetype count, qsizetype total) {
    return count == 1 ? QStringLiteral("UpdateBatch: row %1 of %2 failed").arg(first + 1).arg(total)
                      : QStringLiteral("UpdateBatch: rows %1 to %2 of %3 failed")
                            .arg(first + 1)
                            .arg(first + count)
                            .arg(total);
}

class BatchRecordset final : public component::UpdatableRecordset {
public:
    BatchRecordset(std::shared_ptr<ConnectionState> state, QString table, QStringList columns)
        : m_state(std::move(state)), m_table(std::move(table)), m_columns(std::move(columns)) {}

    void AddNew() override {
        if (m_current) m_pending.push_back(std::move(*m_current));
        m_current.emplace();
        m_current->reserve(std::size_t(m_columns.size()));
    }

    void SetField(const QString& column, const QVariant& value) override {
        if (!m_current) ThrowDatabaseError(QStringLiteral("SetField without AddNew: no row is being added"));
        const qsizetype index = ColumnIndex(m_columns, column);
        if (index < 0)
            ThrowDatabaseError(QStringLiteral("The table %1 has no column %2").arg(m_table, column));
        Row& row = *m_current;
        const int position = static_cast<int>(index);
        auto at = std::lower_bound(row.begin(), row.end(), position,
                                   [](const auto& entry, int wanted) { return entry.first < wanted; });
        if (at != row.end() && at->first == position)
            at->second = value;
        else
            row.emplace(at, position, value);
    }

    void UpdateBatch() override {
        if (m_current) {
            m_pending.push_back(std::move(*m_current));
            m_current.reset();
        }
        if (m_pending.empty()) return;
        RequireOpen(*m_state);
        QSqlDatabase& db = m_state->database;
        // Inside the caller's transaction a savepoint makes the batch one unit of its
        // own (and keeps a PostgreSQL transaction usable after a failed insert).
        const bool ownTransaction = !m_state->inTransaction;
        if (m_state->dialect == Dialect::PostgreSQL)
            if (pg_conn* conn = PostgresHandleOf(db)) {
                SendPendingBegin(*m_state->physical, conn);
                SendPostgres(conn, ownTransaction);
                m_pending.clear();
                return;
            }
        if (ownTransaction) {
            if (!db.transaction())
                ThrowDatabaseError(QStringLiteral("UpdateBatch: BEGIN failed"), db.lastError(), {});
        } else {
            Run(m_state->dialect == Dialect::SqlServer ? QStringLiteral("SAVE TRANSACTION zarvik_batch")
                                                       : QStringLiteral("SAVEPOINT zarvik_batch"));
        }
        try {
            SendRows();
            if (ownTransaction) {
                if (!db.commit())
                    ThrowDatabaseError(QStringLiteral("UpdateBatch: COMMIT failed"), db.lastError(), {});
            } else if (m_state->dialect != Dialect::SqlServer) {
                Run(QStringLiteral("RELEASE SAVEPOINT zarvik_batch"));
            }
        } catch (const component::Error&) {
            if (ownTransaction) {
                db.rollback();
            } else if (m_state->dialect == Dialect::SqlServer) {
                QSqlQuery(db).exec(QStringLiteral("ROLLBACK TRANSACTION zarvik_batch"));
            } else {
                // Undoing is best effort: the failure that led here is what is reported.
                try {
                    Run(QStringLiteral("ROLLBACK TO SAVEPOINT zarvik_batch"));
                    Run(QStringLiteral("RELEASE SAVEPOINT zarvik_batch"));
                } catch (const component::Error&) {
                }
            }
            throw;
        }
        m_pending.clear();
    }

    void CancelBatch() override {
        m_pending.clear();
        m_current.reset();
    }

private:
    // (column index, value) by column index; unset columns get their defaults. One
    // allocation per row: a user's batch holds a row per node.
    using Row = std::vector<std::pair<int, QVariant>>;

    void Run(const QString& statement) {
        if (m_state->dialect == Dialect::SQLite)
            if (sqlite3* db = SqliteHandleOf(m_state->database))
                return RunFixedSqlite(*m_state->physical, db, statement,
                                      QStringLiteral("UpdateBatch failed"));
        QSqlQuery query(m_state->database);
        if (!query.exec(statement))
            ThrowDatabaseError(QStringLiteral("UpdateBatch failed"), query.lastError(), statement);
    }

    // The insert of `rows` rows that set these columns, each row's values in the order
    // of the columns.
    // numbered: $1, $2, ... (libpq) rather than ? (Qt).
    QString InsertFor(const Row& row, qsizetype rows, bool numbered = false) const {
        if (row.empty()) return QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(m_table);
        QString names;
        for (const auto& [index, value] : row) {
            if (!names.isEmpty()) names += QStringLiteral(", ");
            names += Escaped(index);
        }
        QString values;
        values.reserve(rows * qsizetype(row.size()) * 7);
        qsizetype mark = 0;
        for (qsizetype r = 0; r < rows; ++r) {
            values += r > 0 ? QStringLiteral(", (") : QStringLiteral("(");
            for (qsizetype c = 0; c < qsizetype(row.size()); ++c) {
                if (c > 0) values += QStringLiteral(", ");
                if (numbered)
                    values += QLatin1Char('$') + QString::number(++mark);
                else
                    values += QLatin1Char('?');
            }
            values += QLatin1Char(')');
        }
        return QStringLiteral("INSERT INTO ") + m_table + QStringLiteral(" (") + names +
               QStringLiteral(") VALUES ") + values;
    }

    // A column's name as the driver quotes it; every batch of every user asks again.
    const QString& Escaped(int index) const {
        if (m_escaped.isEmpty()) m_escaped.resize(m_columns.size());
        QString& name = m_escaped[index];
        if (name.isNull())
            name = m_state->database.driver()->escapeIdentifier(m_columns.at(index), QSqlDriver::FieldName);
        return name;
    }

    static bool SameColumns(const Row& a, const Row& b) {
        if (a.size() != b.size()) return false;
        for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
            if (i->first != j->first) return false;
        return true;
    }

    // A statement of the connection, prepared on its first use and kept with the
    // connection, so that a batch of every user reuses it.
    QSqlQuery& Prepared(const QString& statement) {
        QHash<QString, QSqlQuery>& cache = m_state->physical->prepared;
        auto it = cache.find(statement);
        if (it == cache.end()) {
            QSqlQuery query(m_state->database);
            if (!query.prepare(statement))
                ThrowDatabaseError(QStringLiteral("UpdateBatch: preparing the insert failed"),
                                   query.lastError(), statement);
            it = cache.insert(statement, query);
        }
        return *it;
    }

    // Consecutive rows that set the same columns go as one statement of several rows,
    // in chunks of kRowsPerInsert, then halves of it down to 1: each database then
    // gets a handful of round trips instead of one per row, and the few statement
    // texts are prepared once per connection.
    void SendRows() {
        const qsizetype total = qsizetype(m_pending.size());
        qsizetype first = 0;
        while (first < total) {
            qsizetype end = first + 1;
            while (end < total && SameColumns(m_pending[std::size_t(first)], m_pending[std::size_t(end)]))
                ++end;
            const bool multiRow =
                !m_pending[std::size_t(first)].empty() && m_state->dialect != Dialect::SqlServer;
            while (first < end) {
                qsizetype chunk = 1;
                if (multiRow) {
                    chunk = kRowsPerInsert;
                    while (chunk > end - first) chunk /= 2;
                }
                const QString statement = CachedInsertFor(m_pending[std::size_t(first)], chunk);
                if (sqlite3* db =
                        m_state->dialect == Dialect::SQLite ? SqliteHandleOf(m_state->database) : nullptr) {
                    SendSqlite(db, statement, first, chunk, total);
                    first += chunk;
                    continue;
                }
                QSqlQuery& query = Prepared(statement);
                int position = 0;
                for (qsizetype r = first; r < first + chunk; ++r)
                    for (const auto& [index, value] : m_pending[std::size_t(r)])
                        query.bindValue(position++, value);
                if (!query.exec()) {
                    const QSqlError error = query.lastError();
                    ThrowDatabaseError(RowsFailed(first, chunk, total), error, statement);
                }
                first += chunk;
            }
        }
    }

    // The rows first .. first + chunk - 1 through a statement prepared on the handle
    // and kept with the connection.
    void SendSqlite(sqlite3* db, const QString& statement, qsizetype first, qsizetype chunk,
                    qsizetype total) {
        SqliteStatement prepared(*m_state->physical, db, statement, true,
                                 QStringLiteral("UpdateBatch: preparing the insert failed"), statement);
        sqlite3_stmt* s = prepared.get();
        int position = 0;
        // Every row of a user carries the same user ID: its UTF-8 form is made once.
        QString lastText;
        QByteArray lastUtf8;
        for (qsizetype r = first; r < first + chunk; ++r)
            for (const auto& [index, value] : m_pending[std::size_t(r)]) {
                int rc = SQLITE_OK;
                if (value.typeId() == QMetaType::QString && !value.isNull()) {
                    const QString& text = *static_cast<const QString*>(value.constData());
                    // As BindSqlite binds it: a null text is an empty one.
                    if (lastText.isNull() || !text.isSharedWith(lastText)) {
                        lastText = text;
                        lastUtf8 = text.toUtf8();
                    }
                    rc = sqlite3_bind_text64(s, ++position, lastUtf8.constData(),
                                             sqlite3_uint64(lastUtf8.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
                } else {
                    rc = BindSqlite(s, ++position, value);
                }
                if (rc != SQLITE_OK)
                    prepared.Throw(RowsFailed(first, chunk, total),
                                   QStringLiteral("Unable to bind parameters"));
            }
        if (sqlite3_step(s) != SQLITE_DONE)
            prepared.Throw(RowsFailed(first, chunk, total), QStringLiteral("Unable to fetch row"));
    }

    // The text of InsertFor, made once per connection for each shape of row and count.
    QString CachedInsertFor(const Row& row, qsizetype rows, bool numbered = false) const {
        // By the columns' names: the same positions may name other columns in a
        // table made anew since.
        QString key = numbered ? QStringLiteral("$") : QStringLiteral("?");
        key += m_table;
        for (const auto& [index, value] : row) {
            key += QChar(0);
            key += m_columns.at(index);
        }
        key += QChar(0);
        key += QString::number(rows);
        QHash<QString, QString>& cache = m_state->physical->insertTexts;
        const auto found = cache.constFind(key);
        if (found != cache.constEnd()) return *found;
        if (cache.size() >= 256) cache.clear();
        return *cache.insert(key, InsertFor(row, rows, numbered));
    }

    // PostgreSQL: the transaction or savepoint, every insert and its end go as one
    // pipeline, a round trip for the whole batch instead of one per statement. Each
    // insert carries up to kPgRowsPerInsert rows, their values as parameters.
    static PgStatement Fixed(const char* sql, const QString& failure) {
        PgStatement statement;
        statement.sql = sql;
        statement.failure = failure;
        return statement;
    }

    void SendPostgres(pg_conn* conn, bool ownTransaction) {
        const qsizetype total = qsizetype(m_pending.size());
        std::vector<PgStatement> statements;
        statements.push_back(Fixed(ownTransaction ? "BEGIN" : "SAVEPOINT zarvik_batch",
                                   QStringLiteral("UpdateBatch: BEGIN failed")));
        // The inserts carry a power of two of rows each, so that a handful of shapes,
        // each prepared once on the connection, serves the batches of every user.
        PhysicalConnection& physical = *m_state->physical;
        std::vector<std::pair<QString, QByteArray>> preparing;
        qsizetype first = 0;
        while (first < total) {
            const Row& shape = m_pending[std::size_t(first)];
            const qsizetype perRow = qMax<qsizetype>(1, qsizetype(shape.size()));
            const qsizetype most = shape.empty() ? 1 : qMin(kPgRowsPerInsert, 65535 / perRow);
            qsizetype end = first + 1;
            while (end < total && end - first < most && SameColumns(shape, m_pending[std::size_t(end)]))
                ++end;
            qsizetype chunk = 1;
            while (chunk * 2 <= end - first) chunk *= 2;
            end = first + chunk;
            PgStatement insert;
            const QString text = CachedInsertFor(shape, chunk, true);
            insert.sql = text.toUtf8();
            for (qsizetype r = first; r < end; ++r)
                for (const auto& [index, value] : m_pending[std::size_t(r)]) insert.values.append(value);
            insert.failure = RowsFailed(first, end - first, total);
            const QString key = QStringLiteral("insert") + QChar(0) + text;
            const auto found = physical.pgPrepared.constFind(key);
            if (found != physical.pgPrepared.constEnd()) {
                insert.prepared = found->name;
            } else {
                const auto again = std::find_if(preparing.begin(), preparing.end(),
                                                [&](const auto& p) { return p.first == key; });
                if (again != preparing.end()) {
                    insert.prepared = again->second;
                } else {
                    insert.prepared = NewPgStatementName(physical);
                    insert.prepare = !insert.prepared.isEmpty();
                    if (insert.prepare) preparing.emplace_back(key, insert.prepared);
                }
            }
            statements.push_back(std::move(insert));
            first = end;
        }
        statements.push_back(Fixed(ownTransaction ? "COMMIT" : "RELEASE SAVEPOINT zarvik_batch",
                                   ownTransaction ? QStringLiteral("UpdateBatch: COMMIT failed")
                                                  : QStringLiteral("UpdateBatch failed")));
        try {
            RunPipeline(conn, statements);
            // Only a pipeline that ran to its end is sure to have prepared them all.
            for (const auto& [key, name] : preparing) physical.pgPrepared.insert(key, {name, {}, false});
        } catch (const component::Error&) {
            // The transaction or the savepoint is in a failed state: undo it, so the
            // caller's transaction stays usable.
            if (ownTransaction) {
                PQclear(PQexec(conn, "ROLLBACK"));
            } else {
                PQclear(PQexec(conn, "ROLLBACK TO SAVEPOINT zarvik_batch"));
                PQclear(PQexec(conn, "RELEASE SAVEPOINT zarvik_batch"));
            }
            throw;
        }
    }

    std::shared_ptr<ConnectionState> m_state;
    QString m_table;
    QStringList m_columns;
    mutable QStringList m_escaped;
    std::vector<Row> m_pending;
    std::optional<Row> m_current;
};

}  // namespace

namespace {
// Runs a statement through Qt's driver (ODBC, or a database without its own reader
// here) and appends the result's column names.
QSqlQuery RunThroughQt(ConnectionState& state, const QString& sent, QStringList& columns) {
    QSqlQuery query(state.database);
    query.setForwardOnly(true);
    if (!query.exec(sent)) ThrowDatabaseError(QStringLiteral("The query failed"), query.lastError(), sent);
    const QSqlRecord record = query.record();
    for (int c = 0; c < record.count(); ++c) columns.append(record.fieldName(c));
    return query;
}
}  // namespace

std::unique_ptr<component::Recordset> NewRecordset(const std::shared_ptr<ConnectionState>& state,
                                                   const QString& sql) {
    RequireOpen(*state);
    QStringList columns;
    QList<QVariantList> byColumn;
    if (state->dialect == Dialect::SQLite)
        if (sqlite3* db = SqliteHandleOf(state->database)) {
            ReadSqlite(*state->physical, db, sql, columns, byColumn);
            return std::make_unique<MemoryRecordset>(std::move(columns), std::move(byColumn));
        }
    if (state->dialect == Dialect::PostgreSQL)
        if (pg_conn* conn = PostgresHandleOf(state->database)) {
            ReadPostgres(*state->physical, conn, sql, columns, byColumn);
            return std::make_unique<MemoryRecordset>(std::move(columns), std::move(byColumn));
        }
    const QString sent = RewriteTSql(sql, state->dialect);
    {
        QSqlQuery query = RunThroughQt(*state, sent, columns);
        const QSqlRecord record = query.record();
        byColumn.resize(record.count());
        while (query.next())
            for (int c = 0; c < record.count(); ++c) byColumn[c].append(query.value(c));
        // A failure while stepping (a lock, a lost server) is not an empty result.
        if (query.lastError().isValid())
            ThrowDatabaseError(QStringLiteral("Reading the result failed"), query.lastError(), sent);
    }
    return std::make_unique<MemoryRecordset>(std::move(columns), std::move(byColumn));
}

std::unique_ptr<component::UpdatableRecordset> NewUpdatableRecordset(
    const std::shared_ptr<ConnectionState>& state, const QString& sql) {
    RequireOpen(*state);
    QString table = TargetTable(sql);
    QStringList columns;
    if (state->dialect == Dialect::SQLite)
        if (sqlite3* db = SqliteHandleOf(state->database))
            return std::make_unique<BatchRecordset>(state, std::move(table),
                                                    SqliteColumns(*state->physical, db, sql));
    if (state->dialect == Dialect::PostgreSQL)
        if (pg_conn* conn = PostgresHandleOf(state->database))
            return std::make_unique<BatchRecordset>(state, std::move(table),
                                                    PostgresColumns(*state->physical, conn, sql));
    RunThroughQt(*state, RewriteTSql(sql, state->dialect), columns);
    return std::make_unique<BatchRecordset>(state, std::move(table), std::move(columns));
}

}  // namespace zarvik::db
