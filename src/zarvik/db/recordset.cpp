// A read result held in memory, the names a batch may write to, and rows read
// through Qt SQL.
#include "zarvik/db/recordset.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlRecord>

#include "zarvik/db/database_p.h"

namespace zarvik::db {
namespace {

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

bool PlainIdentifier(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral(R"(^[A-Za-z_][A-Za-z0-9_]*$)"));
    return pattern.match(name).hasMatch();
}

}  // namespace

std::unique_ptr<component::Recordset> NewMemoryRecordset(QStringList columns, QList<QVariantList> byColumn) {
    return std::make_unique<MemoryRecordset>(std::move(columns), std::move(byColumn));
}

qsizetype ColumnIndex(const QStringList& columns, const QString& name) {
    // Callers mostly spell the names as the table does; that compare is the cheap one.
    for (qsizetype i = 0; i < columns.size(); ++i)
        if (columns.at(i) == name) return i;
    for (qsizetype i = 0; i < columns.size(); ++i)
        if (columns.at(i).compare(name, Qt::CaseInsensitive) == 0) return i;
    return -1;
}

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

void RequireRewritableTable(const QString& table, const QStringList& columns) {
    bool plain = PlainIdentifier(table) && !columns.isEmpty();
    for (const QString& column : columns) plain = plain && PlainIdentifier(column);
    if (!plain)
        throw component::Error(component::errnum::kInvalidArgument, kDatabaseSource,
                               QStringLiteral("A rewrite needs a plain table name and column names: %1 (%2)")
                                   .arg(table, columns.join(QStringLiteral(", "))));
}

QSqlQuery RunThroughQt(const QSqlDatabase& database, const QString& sent, QStringList& columns) {
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(sent)) ThrowDatabaseError(QStringLiteral("The query failed"), query.lastError(), sent);
    const QSqlRecord record = query.record();
    for (int c = 0; c < record.count(); ++c) columns.append(record.fieldName(c));
    return query;
}

void ExecuteThroughQt(const QSqlDatabase& database, const QString& sent, const QString& what) {
    QSqlQuery query(database);
    if (!query.exec(sent)) ThrowDatabaseError(what, query.lastError(), sent);
}

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

void ReadThroughQt(const QSqlDatabase& database, const QString& sent, QStringList& columns,
                   QList<QVariantList>& byColumn) {
    QSqlQuery query = RunThroughQt(database, sent, columns);
    const int count = int(columns.size());
    byColumn.resize(count);
    bool done = false;
    QVariantList row;
    while (NextRow(query, count, sent, done, row))
        for (int c = 0; c < count; ++c) byColumn[c].append(row.at(c));
}

}  // namespace zarvik::db
