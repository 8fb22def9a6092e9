// The updatable result every backend hands out: it collects new rows and sends them
// as one batch, in the backend's way (Send).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

#include "zarvik/db/database_p.h"
#include "zarvik/db/tsql.h"

namespace zarvik::db {

class BatchRecordset : public component::UpdatableRecordset {
public:
    BatchRecordset(std::shared_ptr<ConnectionState> state, QString table, QStringList columns)
        : m_state(std::move(state)), m_table(std::move(table)), m_columns(std::move(columns)) {}

    void AddNew() override;
    void SetField(const QString& column, const QVariant& value) override;
    void UpdateBatch() override;
    void CancelBatch() override;

protected:
    // (column index, value) by column index; unset columns get their defaults. One
    // allocation per row: a user's batch holds a row per node.
    using Row = std::vector<std::pair<int, QVariant>>;

    // Sends the pending rows: in a transaction of their own when `ownTransaction`,
    // else inside the caller's transaction as a unit of their own (a savepoint), so a
    // failure leaves that transaction usable. Raises component::Error.
    virtual void Send(bool ownTransaction) = 0;

    // Consecutive rows that set the same columns go as one statement of several rows:
    // `each(first, count)` for every statement, `count` a power of two up to
    // `most(row)` rows of that shape. Each database then gets a handful of round
    // trips instead of one per row, and the few statement texts are prepared once.
    void ForEachStatement(const std::function<qsizetype(const Row&)>& most,
                          const std::function<void(qsizetype, qsizetype)>& each) const;

    // The insert of `rows` rows of the shape of `row`, made once per connection for
    // each shape and count; markers $1, $2 ... when `numbered`, else ?.
    QString CachedInsertFor(const Row& row, qsizetype rows, bool numbered) const;

    // What a failed insert of `count` rows from row `first` (0-based) says.
    QString RowsFailed(qsizetype first, qsizetype count) const;

    // The frame of a backend that sends its inserts one by one: the backend's own
    // transaction, or the savepoint `texts` run by `run`, around `sendRows`.
    void SendFramed(bool ownTransaction, const SavepointTexts& texts,
                    const std::function<void(const QString&)>& run, const std::function<void()>& sendRows);

    std::shared_ptr<ConnectionState> m_state;
    QString m_table;
    QStringList m_columns;
    std::vector<Row> m_pending;

private:
    QString InsertFor(const Row& row, qsizetype rows, bool numbered) const;
    const QString& Escaped(int index) const;
    static bool SameColumns(const Row& a, const Row& b);

    mutable QStringList m_escaped;
    std::optional<Row> m_current;
};

}  // namespace zarvik::db
