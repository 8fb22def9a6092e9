// Recordsets over Qt SQL: a read result held in memory, and a result that collects
// new rows and sends them as one batch of prepared inserts.
#include <QHash>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <map>
#include <optional>

#include "zarvik/database_p.h"

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
    QString InsertFor(const Row& row, qsizetype rows) const {
        if (row.empty()) return QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(m_table);
        QStringList names, marks;
        for (const auto& [index, value] : row) {
            names.append(
                m_state->database.driver()->escapeIdentifier(m_columns.at(index), QSqlDriver::FieldName));
            marks.append(QStringLiteral("?"));
        }
        const QString one = QStringLiteral("(") + marks.join(QStringLiteral(", ")) + QStringLiteral(")");
        QString values = one;
        for (qsizetype i = 1; i < rows; ++i) values += QStringLiteral(", ") + one;
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
                ThrowDatabaseError(QStringLiteral("UpdateBatch: preparing the insert failed"), query.lastError(),
                                   statement);
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
            while (end < total && SameColumns(m_pending[std::size_t(first)], m_pending[std::size_t(end)])) ++end;
            const bool multiRow = !m_pending[std::size_t(first)].empty() && m_state->dialect != Dialect::SqlServer;
            while (first < end) {
                qsizetype chunk = 1;
                if (multiRow) {
                    chunk = kRowsPerInsert;
                    while (chunk > end - first) chunk /= 2;
                }
                const QString statement = InsertFor(m_pending[std::size_t(first)], chunk);
                QSqlQuery& query = Prepared(statement);
                int position = 0;
                for (qsizetype r = first; r < first + chunk; ++r)
                    for (const auto& [index, value] : m_pending[std::size_t(r)]) query.bindValue(position++, value);
                if (!query.exec()) {
                    const QSqlError error = query.lastError();
                    ThrowDatabaseError(
                        chunk == 1 ? QStringLiteral("UpdateBatch: row %1 of %2 failed").arg(first + 1).arg(total)
                                   : QStringLiteral("UpdateBatch: rows %1 to %2 of %3 failed")
                                         .arg(first + 1)
                                         .arg(first + chunk)
                                         .arg(total),
                        error, statement);
                }
                first += chunk;
            }
        }
    }

    static constexpr qsizetype kRowsPerInsert = 128;

    std::shared_ptr<ConnectionState> m_state;
    QString m_table;
    QStringList m_columns;
    std::vector<Row> m_pending;
    std::optional<Row> m_current;
};

}  // namespace

std::unique_ptr<component::Recordset> NewRecordset(const std::shared_ptr<ConnectionState>& state,
                                                   const QString& sql) {
    RequireOpen(*state);
    const QString sent = RewriteTSql(sql, state->dialect);
    QStringList columns;
    QList<QVariantList> rows;
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
