// Database access over Qt SQL, in the shape the user-node computation relies on:
// connections, read results held in memory, and results that collect new rows and
// send them as one batch.
#pragma once

#include <memory>

#include "component/dataaccess.h"
#include "component/streams.h"

namespace zarvik::db {

// Opens a connection from a connection text (Provider SQLite, the default,
// PostgreSQL or ODBC). Each connection has a Qt SQL connection of its own, removed
// again when it is closed or destroyed. SQLite connections keep the database's own
// journal mode (nothing that persists in the file is set) and wait up to
// five seconds for a lock. Raises component::Error (errnum::kDatabase) for a
// malformed text, a missing SQLite file or a database that cannot be opened.
std::unique_ptr<component::Connection> OpenConnection(const QString& connectionText);

// Runs a query and reads its whole result; the statement is released before this
// returns, so the result holds no lock. Raises (errnum::kDatabase, with the
// driver's message and the statement) when the query fails, and
// errnum::kInvalidArgument for a connection that is not of this library or closed.
std::unique_ptr<component::Recordset> OpenRecordset(component::Connection& connection, const QString& sql);

// The query must be "SELECT * FROM <table> ..."; new rows go into that table.
// Raises errnum::kInvalidArgument for any other form, errnum::kDatabase when the
// query fails.
std::unique_ptr<component::UpdatableRecordset> OpenUpdatableRecordset(component::Connection& connection,
                                                                      const QString& sql);

// Streams a query's rows. On PostgreSQL the rows are read as the caller asks for
// them; on SQLite they are first copied into a temporary table, so that no read of
// the database stays open while another connection writes (in rollback-journal mode
// it would lock the writer out); elsewhere (ODBC) the whole result is read first. Raises errnum::kDatabase when the query fails
// (also part-way through its rows) and errnum::kInvalidArgument for a connection
// that is not of this library or closed.
std::unique_ptr<component::RowStream> OpenRowStream(component::Connection& connection, const QString& sql);

// A batch of rewrites (see component::RewriteBatch). Each Send runs its units in
// one transaction; when a unit fails, that transaction is rolled back and the units
// before it are sent again in one of their own. PostgreSQL receives a Send as one
// pipeline. Raises errnum::kInvalidArgument for a table or column that is not a
// plain identifier, for a connection with a transaction open, and as OpenRecordset.
std::unique_ptr<component::RewriteBatch> OpenRewriteBatch(component::Connection& connection,
                                                          const QString& table, const QStringList& columns);

}  // namespace zarvik::db
