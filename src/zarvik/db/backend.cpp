// The backend factory: the one place that picks a kind of database.
#include "zarvik/db/backend.h"

#include <QSqlDriver>
#include <QSqlError>

namespace zarvik::db {

void Backend::Close() noexcept {
    ForgetStatements();
    m_database.close();
}

void ThrowUnlessOpened(QSqlDatabase& database, const QString& driver) {
    if (!database.isValid())
        ThrowDatabaseError(QStringLiteral("The Qt SQL driver %1 is not available").arg(driver));
    if (!database.open())
        ThrowDatabaseError(QStringLiteral("The database cannot be opened"), database.lastError(), {});
}

std::unique_ptr<Backend> OpenBackend(const QString& connectionText, const QString& name) {
    const ConnectionText text = ParseConnectionText(connectionText);
    switch (text.provider) {
        case Provider::SQLite:
            return OpenSqliteBackend(text, name);
        case Provider::PostgreSQL:
            return OpenPgBackend(text, name);
        case Provider::ODBC:
            return OpenOdbcBackend(text, name);
    }
    ThrowDatabaseError(QStringLiteral("The connection text names no known provider"));
}

void* DriverHandle(const QSqlDatabase& database, const char* typeName) {
    const QSqlDriver* driver = database.driver();
    if (!driver) return nullptr;
    const QVariant handle = driver->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), typeName) != 0) return nullptr;
    return *static_cast<void* const*>(handle.constData());
}

}  // namespace zarvik::db
