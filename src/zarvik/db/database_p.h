// What the connection and the recordsets of the database layer share.
#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <memory>

#include "component/dataaccess.h"
#include "component/streams.h"
#include "zarvik/db/tsql.h"

class QSqlError;
struct sqlite3;
struct sqlite3_stmt;

namespace zarvik::db {

extern const QString kDatabaseSource;

// One open Qt SQL connection to a database. It outlives the Connection that opened
// it when it is kept for reuse (see OpenConnection), together with its prepared
// statements, so that the next Connection of the same text skips the set-up.
struct PhysicalConnection {
    QString name;  // the Qt SQL connection name, unique per physical connection
    QSqlDatabase database;
    Dialect dialect = Dialect::SqlServer;
    QString text;  // the connection text it was opened from
    // SQLite: the file it has open, so that a file deleted or replaced since is noticed.
    QString sqliteFile;
    quint64 device = 0;
    quint64 inode = 0;
    // SQLite: the connection's synchronous level, NORMAL in WAL mode, FULL otherwise.
    QString sqliteSynchronous;
    // False once a statement may have left state behind that the next user must not see.
    bool reusable = true;
    // Prepared statements by their text, freed only when the connection closes.
    QHash<QString, QSqlQuery> prepared;
    // The same for statements prepared on the SQLite handle itself.
    QHash<QString, sqlite3_stmt*> sqlitePrepared;
    // The insert texts of batches, by table, columns and rows per statement.
    QHash<QString, QString> insertTexts;
    // PostgreSQL: statements prepared on the server, by their text with markers and
    // the types of their values; the names are never reused on the connection.
    struct PgPrepared {
        QByteArray name;
        QStringList columns;
        bool described = false;
    };
    QHash<QString, PgPrepared> pgPrepared;
    quint64 pgNames = 0;
    // A BEGIN that waits for the next statement (see BeginPostgres).
    bool pgBeginPending = false;
};

// The native handle under a Qt SQL connection when Qt names its type `typeName`
// (e.g. "sqlite3*"), or null.
void* DriverHandle(const QSqlDatabase& database, const char* typeName);
// The SQLite handle under a Qt SQL connection of the QSQLITE driver, or null.
sqlite3* SqliteHandleOf(const QSqlDatabase& database);
// Finalizes the statements prepared on the handle; before the connection closes.
void FinalizeSqliteStatements(PhysicalConnection& physical) noexcept;
// Drops every statement and insert text kept with the connection.
void ForgetPreparedStatements(PhysicalConnection& physical) noexcept;

// One Connection as handed out; recordsets keep it to notice a closed connection.
struct ConnectionState {
    QString name;  // the Qt SQL connection name
    QSqlDatabase database;
    Dialect dialect = Dialect::SqlServer;
    bool open = false;
    bool inTransaction = false;
    quint64 serial = 0;  // order of opening among the Connections of one text
    std::shared_ptr<PhysicalConnection> physical;
};

[[noreturn]] void ThrowDatabaseError(const QString& what, const QSqlError& error, const QString& statement);
[[noreturn]] void ThrowDatabaseError(const QString& what);

// Raises for a connection that was closed.
inline void RequireOpen(const ConnectionState& state) {
    if (!state.open) ThrowDatabaseError(QStringLiteral("The connection is closed"));
}

// Rows of one multi-row insert at the most: on SQLite and over ODBC, and on PostgreSQL,
// whose statements take at most 65,535 parameters.
inline constexpr qsizetype kRowsPerInsert = 128;
inline constexpr qsizetype kPgRowsPerInsert = 512;

// The recordsets, in qtsqlrecordset.cpp.
std::unique_ptr<component::Recordset> NewRecordset(const std::shared_ptr<ConnectionState>& state,
                                                   const QString& sql);
std::unique_ptr<component::UpdatableRecordset> NewUpdatableRecordset(
    const std::shared_ptr<ConnectionState>& state, const QString& sql);

// Streams and rewrite batches, in rewritebatch.cpp.
std::unique_ptr<component::RowStream> NewRowStream(const std::shared_ptr<ConnectionState>& state,
                                                   const QString& sql);
std::unique_ptr<component::RewriteBatch> NewRewriteBatch(const std::shared_ptr<ConnectionState>& state,
                                                         const QString& table, const QStringList& columns);

}  // namespace zarvik::db
