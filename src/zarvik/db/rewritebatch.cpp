// The units of a rewrite batch, collected until Send hands them to the backend.
#include "zarvik/db/rewritebatch.h"

#include <QRegularExpression>

#include "zarvik/db/insertrows.h"

namespace zarvik::db {
namespace {

bool IsDelete(const QString& sql) {
    static const QRegularExpression pattern(QStringLiteral(R"(^\s*DELETE\s)"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern.match(sql).hasMatch();
}

}  // namespace

void RewriteBatchBase::BeginUnit(const QString& deleteSql) {
    if (!IsDelete(deleteSql))
        throw component::Error(component::errnum::kInvalidArgument, kDatabaseSource,
                               QStringLiteral("A rewrite starts with a DELETE: ") + deleteSql);
    m_units.push_back({deleteSql, qsizetype(m_values.size()) / m_columns.size(), 0});
}

void RewriteBatchBase::AddRow(const QVariantList& values) {
    if (m_units.empty()) ThrowDatabaseError(QStringLiteral("AddRow without a unit"));
    if (values.size() != m_columns.size())
        ThrowDatabaseError(
            QStringLiteral("AddRow: %1 values for %2 columns").arg(values.size()).arg(m_columns.size()));
    m_values.insert(m_values.end(), values.begin(), values.end());
    ++m_units.back().rows;
}

void RewriteBatchBase::Send() {
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

void RewriteBatchBase::Cancel() {
    m_units.clear();
    m_values.clear();
}

QString RewriteBatchBase::InsertText(qsizetype rows, bool numbered) {
    // Plain identifiers, unquoted: the database folds their case as it does in the
    // program's queries.
    if (m_names.isEmpty()) m_names = m_columns.join(QStringLiteral(", "));
    // A run sends thousands of statements of a handful of shapes: each text is made once.
    const qsizetype key = rows * 2 + (numbered ? 1 : 0);
    const auto found = m_insertTexts.constFind(key);
    if (found != m_insertTexts.constEnd()) return *found;
    return *m_insertTexts.insert(key, MultiRowInsert(m_table, m_names, m_columns.size(), rows, numbered));
}

QString RewriteBatchBase::UnitFailure(std::size_t unit) const {
    return QStringLiteral("Rewriting the rows of %1 failed").arg(m_units[unit].deleteSql.trimmed());
}

QString RewriteBatchBase::GroupFailure() const {
    return QStringLiteral("Rewriting the rows of %1 units failed").arg(m_units.size());
}

QString RewriteBatchBase::StepFailure(const char* step) {
    return QStringLiteral("Rewriting the rows failed: ") + QLatin1String(step);
}

std::vector<ParameterizedSql> RewriteBatchBase::GroupDeletes(const Dialect& dialect) const {
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
            head = QStringLiteral("DELETE FROM %1 WHERE %2 IN (").arg(match.captured(1), match.captured(2));
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
            markers.append(dialect.numberedMarkers ? QStringLiteral("$%1").arg(i + 1) : QStringLiteral("?"));
        group.text = head + markers.join(QStringLiteral(", ")) + QLatin1Char(')');
        deletes.push_back(std::move(group));
    }
    return deletes;
}

}  // namespace zarvik::db
