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
#include <limits>
#include <map>
#include <optional>

#include "zarvik/database_p.h"
#include "zarvik/pgpipeline.h"

namespace zarvik::db {
namespace {

qsizetype ColumnIndex(const QStringList& columns, const QString& name) {
    for (qsizetype i = 0; i < columns.size(); ++i)
        if (columns.at(i).compare(name, Qt::CaseInsensitive) == 0) return i;
    return -1;
}

void RequireOpen(const ConnectionState& state) {
    if (!state.open) ThrowDatabaseError(QStringLiteral("The connection is closed"));
}

// The error of the last call on the handle, in the form Qt's SQLite driver gives it.
[[noreturn]] void ThrowSqliteError(const QString& what, sqlite3* db, const QString& driverText,
                                   const QString& statement) {
    ThrowDatabaseError(what,
                       QSqlError(driverText, QString::fromUtf8(sqlite3_errmsg(db)), QSqlError::StatementError,
                                 QString::number(sqlite3_extended_errcode(db))),
                       statement);
}

// The values as Qt's SQLite driver gives them: integers as qlonglong, reals as
// double, text as QString, blobs as QByteArray, NULL as a null value.
QVariant SqliteValue(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return QVariant(qlonglong(sqlite3_column_int64(statement, column)));
        case SQLITE_FLOAT:
            return QVariant(sqlite3_column_double(statement, column));
        case SQLITE_NULL:
            return QVariant();
        case SQLITE_BLOB: {
            const void* data = sqlite3_column_blob(statement, column);
            return QVariant(
                QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(statement, column)));
        }
        default: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            return QVariant(QString::fromUtf8(text, sqlite3_column_bytes(statement, column)));
        }
    }
}

// Prepares the one statement of `sql`; more than one is refused, as Qt's driver does,
// so that a statement can never carry a second one along.
sqlite3_stmt* PrepareSqlite(sqlite3* db, const QByteArray& utf8, const QString& sql, unsigned flags) {
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v3(db, utf8.constData(), int(utf8.size()), flags, &statement, &tail) != SQLITE_OK)
        ThrowSqliteError(QStringLiteral("The query failed"), db,
                         QStringLiteral("Unable to execute statement"), sql);
    const QByteArray rest = tail ? QByteArray(tail).trimmed() : QByteArray();
    if (!rest.isEmpty() && rest != ";") {
        sqlite3_finalize(statement);
        ThrowDatabaseError(
            QStringLiteral("The query failed: Unable to execute multiple statements at a time") +
            QStringLiteral("\r\nStatement: ") + sql);
    }
    if (!statement) ThrowDatabaseError(QStringLiteral("The query failed: no statement\r\nStatement: ") + sql);
    return statement;
}

class MemoryRecordset final : public component::Recordset {
public:
    MemoryRecordset(QStringList columns, QList<QVariantList> rows)
        : m_columns(std::move(columns)), m_rows(std::move(rows)) {}

    bool IsEOF() const override { return m_position >= m_rows.size(); }
    // Without MovePrevious the position is never before the first row; only an
    // empty result is at its start and its end at once.
    bool IsBOF() const override { return m_rows.isEmpty(); }

    QVariant Field(const QString& column) const override {
        const qsizetype index = ColumnIndex(m_columns, column);
        if (index < 0) ThrowDatabaseError(QStringLiteral("The result has no column ") + column);
        if (IsEOF())
            ThrowDatabaseError(QStringLiteral("No current row (the result is at its end) for column ") +
                               column);
        return m_rows.at(m_position).at(index);
    }

    void MoveNext() override {
        if (IsEOF()) ThrowDatabaseError(QStringLiteral("MoveNext at the end of the result"));
        ++m_position;
    }

    void MoveFirst() override { m_position = 0; }

    QList<QVariantList> GetRows() override {
        QList<QVariantList> byColumn(m_columns.size());
        for (qsizetype r = m_position; r < m_rows.size(); ++r)
            for (qsizetype c = 0; c < m_columns.size(); ++c) byColumn[c].append(m_rows.at(r).at(c));
        m_position = m_rows.size();
        return byColumn;
    }

private:
    QStringList m_columns;
    QList<QVariantList> m_rows;
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
    }

    void SetField(const QString& column, const QVariant& value) override {
        if (!m_current) ThrowDatabaseError(QStringLiteral("SetField without AddNew: no row is being added"));
        const qsizetype index = ColumnIndex(m_columns, column);
        if (index < 0)
            ThrowDatabaseError(QStringLiteral("The table %1 has no column %2").arg(m_table, column));
        (*m_current)[static_cast<int>(index)] = value;
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
                QSqlQuery(db).exec(QStringLiteral("ROLLBACK TO SAVEPOINT zarvik_batch"));
                QSqlQuery(db).exec(QStringLiteral("RELEASE SAVEPOINT zarvik_batch"));
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
    using Row = std::map<int, QVariant>;  // column index -> value; unset columns get their defaults

    void Run(const QString& statement) {
        QSqlQuery query(m_state->database);
        if (!query.exec(statement))
            ThrowDatabaseError(QStringLiteral("UpdateBatch failed"), query.lastError(), statement);
    }

    // The insert of `rows` rows that set these columns, each row's values in the order
    // of the columns.
    // numbered: $1, $2, ... (libpq) rather than ? (Qt).
    QString InsertFor(const Row& row, qsizetype rows, bool numbered = false) const {
        if (row.empty()) return QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(m_table);
        QStringList names;
        for (const auto& [index, value] : row)
            names.append(
                m_state->database.driver()->escapeIdentifier(m_columns.at(index), QSqlDriver::FieldName));
        QString values;
        qsizetype mark = 0;
        for (qsizetype r = 0; r < rows; ++r) {
            QStringList marks;
            for (qsizetype c = 0; c < qsizetype(row.size()); ++c)
                marks.append(numbered ? QStringLiteral("$%1").arg(++mark) : QStringLiteral("?"));
            if (r > 0) values += QStringLiteral(", ");
            values += QStringLiteral("(") + marks.join(QStringLiteral(", ")) + QStringLiteral(")");
        }
        return QStringLiteral("INSERT INTO %1 (%2) VALUES %3")
            .arg(m_table, names.join(QStringLiteral(", ")), values);
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
                const QString statement = InsertFor(m_pending[std::size_t(first)], chunk);
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
        sqlite3_stmt*& prepared = m_state->physical->sqlitePrepared[statement];
        if (!prepared) {
            try {
                prepared = PrepareSqlite(db, statement.toUtf8(), statement, SQLITE_PREPARE_PERSISTENT);
            } catch (const component::Error&) {
                m_state->physical->sqlitePrepared.remove(statement);
                throw;
            }
        }
        sqlite3_stmt* s = prepared;
        int position = 0;
        int rc = SQLITE_OK;
        for (qsizetype r = first; r < first + chunk && rc == SQLITE_OK; ++r)
            for (const auto& [index, value] : m_pending[std::size_t(r)]) {
                rc = BindSqlite(s, ++position, value);
                if (rc != SQLITE_OK) break;
            }
        if (rc == SQLITE_OK) rc = sqlite3_step(s);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        if (rc != SQLITE_DONE) {
            ThrowSqliteError(RowsFailed(first, chunk, total), db, QStringLiteral("Unable to fetch row"),
                             statement);
        }
    }

    // A value bound as Qt's SQLite driver binds it.
    static int BindSqlite(sqlite3_stmt* s, int position, const QVariant& value) {
        if (value.isNull()) return sqlite3_bind_null(s, position);
        switch (value.typeId()) {
            case QMetaType::Bool:
            case QMetaType::Int:
            case QMetaType::UInt:
            case QMetaType::Short:
            case QMetaType::UShort:
            case QMetaType::Char:
            case QMetaType::SChar:
            case QMetaType::UChar:
            case QMetaType::Long:
            case QMetaType::LongLong:
                return sqlite3_bind_int64(s, position, value.toLongLong());
            case QMetaType::ULong:
            case QMetaType::ULongLong: {
                const qulonglong u = value.toULongLong();
                if (u > qulonglong(std::numeric_limits<qint64>::max())) break;  // as text, like Qt
                return sqlite3_bind_int64(s, position, qint64(u));
            }
            case QMetaType::Double:
            case QMetaType::Float:
                return sqlite3_bind_double(s, position, value.toDouble());
            case QMetaType::QByteArray: {
                const QByteArray bytes = value.toByteArray();
                return sqlite3_bind_blob64(s, position, bytes.constData(), sqlite3_uint64(bytes.size()),
                                           SQLITE_TRANSIENT);
            }
            default:
                break;
        }
        const QByteArray text = value.toString().toUtf8();
        return sqlite3_bind_text64(s, position, text.constData(), sqlite3_uint64(text.size()),
                                   SQLITE_TRANSIENT, SQLITE_UTF8);
    }

    // PostgreSQL: the transaction or savepoint, every insert and its end go as one
    // pipeline, a round trip for the whole batch instead of one per statement. Each
    // insert carries up to kPgRowsPerInsert rows, their values as parameters.
    void SendPostgres(pg_conn* conn, bool ownTransaction) {
        const qsizetype total = qsizetype(m_pending.size());
        std::vector<PgStatement> statements;
        statements.push_back({ownTransaction ? QByteArray("BEGIN") : QByteArray("SAVEPOINT zarvik_batch"),
                              {},
                              QStringLiteral("UpdateBatch: BEGIN failed")});
        qsizetype first = 0;
        while (first < total) {
            const Row& shape = m_pending[std::size_t(first)];
            const qsizetype perRow = qMax<qsizetype>(1, qsizetype(shape.size()));
            const qsizetype most = shape.empty() ? 1 : qMin(kPgRowsPerInsert, 65535 / perRow);
            qsizetype end = first + 1;
            while (end < total && end - first < most && SameColumns(shape, m_pending[std::size_t(end)]))
                ++end;
            PgStatement insert;
            insert.sql = InsertFor(shape, end - first, true).toUtf8();
            for (qsizetype r = first; r < end; ++r)
                for (const auto& [index, value] : m_pending[std::size_t(r)]) insert.values.append(value);
            insert.failure = RowsFailed(first, end - first, total);
            statements.push_back(std::move(insert));
            first = end;
        }
        statements.push_back(
            {ownTransaction ? QByteArray("COMMIT") : QByteArray("RELEASE SAVEPOINT zarvik_batch"),
             {},
             ownTransaction ? QStringLiteral("UpdateBatch: COMMIT failed")
                            : QStringLiteral("UpdateBatch failed")});
        try {
            RunPipeline(conn, statements);
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

    static constexpr qsizetype kRowsPerInsert = 128;
    static constexpr qsizetype kPgRowsPerInsert = 1000;

    std::shared_ptr<ConnectionState> m_state;
    QString m_table;
    QStringList m_columns;
    std::vector<Row> m_pending;
    std::optional<Row> m_current;
};

std::unique_ptr<component::Recordset> ReadSqlite(sqlite3* db, const QString& sql) {
    sqlite3_stmt* statement = PrepareSqlite(db, sql.toUtf8(), sql, 0);
    // The statement is finalized on every path, before any error leaves.
    struct Finalize {
        sqlite3_stmt* s;
        ~Finalize() { sqlite3_finalize(s); }
    } finalize{statement};
    const int count = sqlite3_column_count(statement);
    QStringList columns;
    for (int c = 0; c < count; ++c)
        columns.append(QString::fromUtf8(sqlite3_column_name(statement, c)).remove(QLatin1Char('"')));
    QList<QVariantList> rows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        QVariantList row;
        row.reserve(count);
        for (int c = 0; c < count; ++c) row.append(SqliteValue(statement, c));
        rows.append(std::move(row));
    }
    // A failure while stepping (a lock held too long, a full disk) is not an empty result.
    if (rc != SQLITE_DONE)
        ThrowSqliteError(
            rows.isEmpty() ? QStringLiteral("The query failed") : QStringLiteral("Reading the result failed"),
            db, QStringLiteral("Unable to fetch row"), sql);
    return std::make_unique<MemoryRecordset>(std::move(columns), std::move(rows));
}

}  // namespace

std::unique_ptr<component::Recordset> NewRecordset(const std::shared_ptr<ConnectionState>& state,
                                                   const QString& sql) {
    RequireOpen(*state);
    const QString sent = RewriteTSql(sql, state->dialect);
    if (state->dialect == Dialect::SQLite)
        if (sqlite3* db = SqliteHandleOf(state->database)) return ReadSqlite(db, sent);
    QStringList columns;
    QList<QVariantList> rows;
    if (state->dialect == Dialect::PostgreSQL)
        if (pg_conn* conn = PostgresHandleOf(state->database)) {
            ReadPostgres(conn, sent, columns, rows);
            return std::make_unique<MemoryRecordset>(std::move(columns), std::move(rows));
        }
    {
        QSqlQuery query(state->database);
        query.setForwardOnly(true);
        if (!query.exec(sent))
            ThrowDatabaseError(QStringLiteral("The query failed"), query.lastError(), sent);
        const QSqlRecord record = query.record();
        for (int c = 0; c < record.count(); ++c) columns.append(record.fieldName(c));
        while (query.next()) {
            QVariantList row;
            row.reserve(record.count());
            for (int c = 0; c < record.count(); ++c) row.append(query.value(c));
            rows.append(row);
        }
        // A failure while stepping (a lock, a lost server) is not an empty result.
        if (query.lastError().isValid())
            ThrowDatabaseError(QStringLiteral("Reading the result failed"), query.lastError(), sent);
    }
    return std::make_unique<MemoryRecordset>(std::move(columns), std::move(rows));
}

std::unique_ptr<component::UpdatableRecordset> NewUpdatableRecordset(
    const std::shared_ptr<ConnectionState>& state, const QString& sql) {
    RequireOpen(*state);
    QString table = TargetTable(sql);
    const QString sent = RewriteTSql(sql, state->dialect);
    QStringList columns;
    {
        QSqlQuery query(state->database);
        query.setForwardOnly(true);
        if (!query.exec(sent))
            ThrowDatabaseError(QStringLiteral("The query failed"), query.lastError(), sent);
        const QSqlRecord record = query.record();
        for (int c = 0; c < record.count(); ++c) columns.append(record.fieldName(c));
    }
    return std::make_unique<BatchRecordset>(state, std::move(table), std::move(columns));
}

}  // namespace zarvik::db
