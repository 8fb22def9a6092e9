// Database connections and read results (the shapes of ADO's objects).
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/error.h"

#include <QList>
#include <QString>
#include <QVariant>

namespace component {

// An open database connection (ADO's Connection).
class Connection {
public:
    virtual ~Connection() = default;
    // Runs a statement that returns no rows; it takes effect at once unless a
    // transaction is open.
    virtual void Execute(const QString& sql) = 0;
    virtual void BeginTrans() = 0;
    virtual void CommitTrans() = 0;
    virtual void RollbackTrans() = 0;
    virtual void Close() = 0;
};

// A read result (ADO's Recordset). It stands on its first row, or at the end when
// there is none. The C library defines EOF, hence IsEOF/IsBOF.
class Recordset {
public:
    virtual ~Recordset() = default;
    virtual bool IsEOF() const = 0;
    virtual bool IsBOF() const = 0;
    // The value of a column of the current row, by column name (case-insensitive).
    // Raises at the end of the result or for an unknown column.
    virtual QVariant Field(const QString& column) const = 0;
    virtual void MoveNext() = 0;
    virtual void MoveFirst() = 0;
    // The rows from the current one to the end, as [column][row]; afterwards the
    // recordset stands at the end.
    virtual QList<QVariantList> GetRows() = 0;
};

// A result that collects added rows and sends them together (ADO's batch update).
// The table written to is the one the opening query selects from.
class UpdatableRecordset {
public:
    virtual ~UpdatableRecordset() = default;
    virtual void AddNew() = 0;
    // Sets a column of the row being added. Raises when no row is being added or
    // the column is not in the result.
    virtual void SetField(const QString& column, const QVariant& value) = 0;
    // Sends all added rows as one unit; raises and keeps none of them on failure.
    virtual void UpdateBatch() = 0;
    // Discards the added rows that were not sent.
    virtual void CancelBatch() = 0;
};

}  // namespace component
