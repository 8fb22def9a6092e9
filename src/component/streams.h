// Reading a large result row by row, and rewriting many keys' rows together.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/error.h"

#include <QString>
#include <QVariant>

namespace component {

// A query's rows one at a time, in the order the database sends them, without the
// whole result held at once.
class RowStream {
public:
    virtual ~RowStream() = default;
    // The next row's values, in the order of the query's columns; false at the end.
    // Raises when reading fails (a lost server is not the end of the rows).
    virtual bool Next(QVariantList& row) = 0;
};

// Rewrites of one table's rows for many keys (one user each), sent together. Each
// unit is its delete and its new rows, and takes effect whole or not at all.
class RewriteBatch {
public:
    virtual ~RewriteBatch() = default;
    // Starts the next unit; deleteSql ("DELETE FROM <table> WHERE ...") removes the
    // rows the unit replaces. The units sent together rewrite distinct rows: no unit's
    // delete removes rows of another unit of the same Send.
    virtual void BeginUnit(const QString& deleteSql) = 0;
    // A new row of the current unit: a value for each column given at opening, in
    // that order. Raises without a unit or with another number of values.
    virtual void AddRow(const QVariantList& values) = 0;
    virtual qsizetype PendingUnits() const = 0;
    virtual qsizetype PendingRows() const = 0;
    // Sends the units begun since the last Send, in order, and commits them together;
    // afterwards none is pending. When a unit fails, the units before it are committed,
    // it and the units after it are not, and this raises with the database's message.
    // A process killed or a server lost during Send leaves the units of that Send all
    // in effect or none, and never a unit half.
    virtual void Send() = 0;
    // The units the last Send committed, each on disk when this is read (as far as
    // the database's own setting for the durability of a commit goes): all it sent
    // once it returned, the units before the failing one once it raised (none when
    // the commit itself failed).
    virtual qsizetype UnitsCommitted() const = 0;
    // Discards the units not sent.
    virtual void Cancel() = 0;
};

}  // namespace component
