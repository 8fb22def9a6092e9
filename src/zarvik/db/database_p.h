// What the connection, the recordsets and the backends of the database layer share.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <memory>

#include "component/dataaccess.h"
#include "component/streams.h"

class QSqlError;

namespace zarvik::db {

class Backend;

extern const QString kDatabaseSource;

// One open Qt SQL connection to a database and the backend that speaks to it. It
// outlives the Connection that opened it when it is kept for reuse (see
// OpenConnection), together with its prepared statements, so that the next
// Connection of the same text skips the set-up.
struct PhysicalConnection {
    QString name;  // the Qt SQL connection name, unique per physical connection
    QString text;  // the connection text it was opened from
    // False once a statement may have left state behind that the next user must not see.
    bool reusable = true;
    std::unique_ptr<Backend> backend;
};

// One Connection as handed out; recordsets keep it to notice a closed connection.
struct ConnectionState {
    QSqlDatabase database;
    bool open = false;
    bool inTransaction = false;
    quint64 serial = 0;  // order of opening among the Connections of one text
    std::shared_ptr<PhysicalConnection> physical;

    Backend& backend() const { return *physical->backend; }
};

[[noreturn]] void ThrowDatabaseError(const QString& what, const QSqlError& error, const QString& statement);
[[noreturn]] void ThrowDatabaseError(const QString& what);

// Raises for a connection that was closed.
inline void RequireOpen(const ConnectionState& state) {
    if (!state.open) ThrowDatabaseError(QStringLiteral("The connection is closed"));
}

// The native handle under a Qt SQL connection when Qt names its type `typeName`
// (e.g. "sqlite3*"), or null.
void* DriverHandle(const QSqlDatabase& database, const char* typeName);

}  // namespace zarvik::db
