// The updatable result: rows collected, then sent in statements of many rows each.
#include "zarvik/db/batchrecordset.h"

#include <QSqlDriver>
#include <algorithm>

#include "zarvik/db/backend.h"
#include "zarvik/db/insertrows.h"
#include "zarvik/db/recordset.h"

namespace zarvik::db {

void BatchRecordset::AddNew() {
    if (m_current) m_pending.push_back(std::move(*m_current));
    m_current.emplace();
    m_current->reserve(std::size_t(m_columns.size()));
}

void BatchRecordset::SetField(const QString& column, const QVariant& value) {
    if (!m_current) ThrowDatabaseError(QStringLiteral("SetField without AddNew: no row is being added"));
    const qsizetype index = ColumnIndex(m_columns, column);
    if (index < 0) ThrowDatabaseError(QStringLiteral("The table %1 has no column %2").arg(m_table, column));
    Row& row = *m_current;
    const int position = static_cast<int>(index);
    auto at = std::lower_bound(row.begin(), row.end(), position,
                               [](const auto& entry, int wanted) { return entry.first < wanted; });
    if (at != row.end() && at->first == position)
        at->second = value;
    else
        row.emplace(at, position, value);
}

void BatchRecordset::UpdateBatch() {
    if (m_current) {
        m_pending.push_back(std::move(*m_current));
        m_current.reset();
    }
    if (m_pending.empty()) return;
    RequireOpen(*m_state);
    Send(!m_state->inTransaction);
    m_pending.clear();
}

void BatchRecordset::CancelBatch() {
    m_pending.clear();
    m_current.reset();
}

void BatchRecordset::SendFramed(bool ownTransaction, const SavepointTexts& texts,
                                const std::function<void(const QString&)>& run,
                                const std::function<void()>& sendRows) {
    Backend& backend = m_state->backend();
    if (ownTransaction)
        backend.Begin(QStringLiteral("UpdateBatch: BEGIN failed"));
    else
        run(texts.set);
    try {
        sendRows();
        if (ownTransaction)
            backend.Commit(QStringLiteral("UpdateBatch: COMMIT failed"));
        else if (!texts.release.isEmpty())
            run(texts.release);
    } catch (const component::Error&) {
        // Undoing is best effort: the failure that led here is what is reported.
        try {
            if (ownTransaction) {
                backend.Rollback(QStringLiteral("UpdateBatch: ROLLBACK failed"));
            } else {
                run(texts.rollbackTo);
                if (!texts.release.isEmpty()) run(texts.release);
            }
        } catch (const component::Error&) {
        }
        throw;
    }
}

void BatchRecordset::ForEachStatement(const std::function<qsizetype(const Row&)>& most,
                                      const std::function<void(qsizetype, qsizetype)>& each) const {
    const qsizetype total = qsizetype(m_pending.size());
    qsizetype first = 0;
    while (first < total) {
        const Row& shape = m_pending[std::size_t(first)];
        qsizetype end = first + 1;
        while (end < total && SameColumns(shape, m_pending[std::size_t(end)])) ++end;
        ForEachInsert(first, end, most(shape), each);
        first = end;
    }
}

QString BatchRecordset::RowsFailed(qsizetype first, qsizetype count) const {
    const qsizetype total = qsizetype(m_pending.size());
    return count == 1 ? QStringLiteral("UpdateBatch: row %1 of %2 failed").arg(first + 1).arg(total)
                      : QStringLiteral("UpdateBatch: rows %1 to %2 of %3 failed")
                            .arg(first + 1)
                            .arg(first + count)
                            .arg(total);
}

QString BatchRecordset::InsertFor(const Row& row, qsizetype rows, bool numbered) const {
    if (row.empty()) return QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(m_table);
    QString names;
    for (const auto& [index, value] : row) {
        if (!names.isEmpty()) names += QStringLiteral(", ");
        names += Escaped(index);
    }
    return MultiRowInsert(m_table, names, qsizetype(row.size()), rows, numbered);
}

// A column's name as the driver quotes it; every batch of every user asks again.
const QString& BatchRecordset::Escaped(int index) const {
    if (m_escaped.isEmpty()) m_escaped.resize(m_columns.size());
    QString& name = m_escaped[index];
    if (name.isNull())
        name = m_state->database.driver()->escapeIdentifier(m_columns.at(index), QSqlDriver::FieldName);
    return name;
}

bool BatchRecordset::SameColumns(const Row& a, const Row& b) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (i->first != j->first) return false;
    return true;
}

QString BatchRecordset::CachedInsertFor(const Row& row, qsizetype rows, bool numbered) const {
    // By the columns' names: the same positions may name other columns in a table
    // made anew since.
    QString key = numbered ? QStringLiteral("$") : QStringLiteral("?");
    key += m_table;
    for (const auto& [index, value] : row) {
        key += QChar(0);
        key += m_columns.at(index);
    }
    key += QChar(0);
    key += QString::number(rows);
    QHash<QString, QString>& cache = m_state->backend().InsertTexts();
    const auto found = cache.constFind(key);
    if (found != cache.constEnd()) return *found;
    if (cache.size() >= 256) cache.clear();
    return *cache.insert(key, InsertFor(row, rows, numbered));
}

}  // namespace zarvik::db
