// The rewrite batch every backend hands out: units of a delete and new rows, sent
// in the backend's way (RunUnits).
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <vector>

#include "zarvik/db/database_p.h"
#include "zarvik/db/tsql.h"

namespace zarvik::db {

class RewriteBatchBase : public component::RewriteBatch {
public:
    RewriteBatchBase(std::shared_ptr<ConnectionState> state, QString table, QStringList columns)
        : m_state(std::move(state)), m_table(std::move(table)), m_columns(std::move(columns)) {}

    void BeginUnit(const QString& deleteSql) override;
    void AddRow(const QVariantList& values) override;
    qsizetype PendingUnits() const override { return qsizetype(m_units.size()); }
    qsizetype PendingRows() const override { return qsizetype(m_values.size()) / m_columns.size(); }
    qsizetype UnitsCommitted() const override { return m_committed; }
    void Send() override;
    void Cancel() override;

protected:
    struct Unit {
        QString deleteSql;
        qsizetype firstRow = 0;
        qsizetype rows = 0;
    };

    // All units of a Send are one transaction, so that the run waits for the disk once
    // per Send, not once per unit. Where it can, a backend sends the group first as one
    // delete of all its units' rows and inserts that run across units; when the
    // database refuses anything, that transaction is rolled back whole and the group is
    // sent again with a savepoint per unit, which finds the failing unit: the
    // transaction goes back to its savepoint and the units before it are committed.
    // The units of one Send rewrite distinct rows, so deleting them all before the
    // inserts gives the same rows. A killed process or a lost server leaves the whole
    // Send committed or not, so every unit has all of its old rows or all of its new
    // ones. Sets m_committed; raises component::Error for the failure.
    virtual void RunUnits() = 0;

    // The insert of `rows` rows, markers ? or (numbered) $1, $2, ...
    QString InsertText(qsizetype rows, bool numbered);
    QString UnitFailure(std::size_t unit) const;
    QString GroupFailure() const;
    static QString StepFailure(const char* step);

    // The deletes of all units as a few statements on many values each, when every
    // unit's delete is the same statement on one value ("DELETE FROM t WHERE c = v");
    // none otherwise. Markers as the dialect writes them.
    std::vector<ParameterizedSql> GroupDeletes(const Dialect& dialect) const;

    std::shared_ptr<ConnectionState> m_state;
    QString m_table;
    QStringList m_columns;
    std::vector<Unit> m_units;
    std::vector<QVariant> m_values;  // the rows one after another
    qsizetype m_committed = 0;

private:
    QString m_names;
    QHash<qsizetype, QString> m_insertTexts;  // by rows * 2 + numbered
};

}  // namespace zarvik::db
