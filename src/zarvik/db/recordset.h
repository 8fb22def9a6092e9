// What every backend's results share: a read result held in memory, the checks of
// the tables that batches write to, and reading rows through Qt SQL.
#pragma once

#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <memory>

#include "component/dataaccess.h"
#include "component/streams.h"

namespace zarvik::db {

// A whole result held in memory, by column ([column][row]).
std::unique_ptr<component::Recordset> NewMemoryRecordset(QStringList columns, QList<QVariantList> byColumn);

// The index of a column by name, the exact spelling first, then in any case; -1
// when the columns have none of that name.
qsizetype ColumnIndex(const QStringList& columns, const QString& name);

// The table of "SELECT * FROM <table> ...", optionally with its schema. Raises
// component::Error (errnum::kInvalidArgument) for any other form.
QString TargetTable(const QString& sql);

// Raises component::Error (errnum::kInvalidArgument) unless the table and each of
// the (at least one) columns are plain identifiers.
void RequireRewritableTable(const QString& table, const QStringList& columns);

// Runs `sent` through Qt SQL, forward only, and appends its column names. Raises
// component::Error ("The query failed").
QSqlQuery RunThroughQt(const QSqlDatabase& database, const QString& sent, QStringList& columns);

// Runs a statement without wanted rows through Qt SQL. Raises component::Error (`what`).
void ExecuteThroughQt(const QSqlDatabase& database, const QString& sent, const QString& what);

// The next row of a forward-only query into `row`; false at its end. A failure while
// stepping (a lock, a lost server) raises: it is not the end of the rows. `done` is set
// at the end and on a failure.
bool NextRow(QSqlQuery& query, int columns, const QString& sent, bool& done, QVariantList& row);

// A whole result read through Qt SQL, by column. Raises as RunThroughQt, and
// "Reading the result failed" when a row cannot be read.
void ReadThroughQt(const QSqlDatabase& database, const QString& sent, QStringList& columns,
                   QList<QVariantList>& byColumn);

}  // namespace zarvik::db
