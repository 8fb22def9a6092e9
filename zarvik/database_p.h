// What the connection and the recordsets of the database layer share.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <memory>

#include "component/interfaces.h"
#include "zarvik/tsql.h"

class QSqlError;

namespace zarvik::db {

extern const QString kDatabaseSource;

// One open Qt SQL connection; recordsets keep it to notice a closed connection.
struct ConnectionState {
    QString name;  // the Qt SQL connection name, unique per connection
    QSqlDatabase database;
    Dialect dialect = Dialect::SqlServer;
    bool open = false;
    bool inTransaction = false;
};

[[noreturn]] void ThrowDatabaseError(const QString& what, const QSqlError& error, const QString& statement);
[[noreturn]] void ThrowDatabaseError(const QString& what);

// The recordsets, in qtsqlrecordset.cpp.
std::unique_ptr<component::Recordset> NewRecordset(const std::shared_ptr<ConnectionState>& state,
                                                   const QString& sql);
std::unique_ptr<component::UpdatableRecordset> NewUpdatableRecordset(
    const std::shared_ptr<ConnectionState>& state, const QString& sql);

}  // namespace zarvik::db
