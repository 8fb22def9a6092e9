// The document readers of each kind of database and what they share; known only to
// the files of the document source.
#pragma once

#include <QString>
#include <memory>

#include "component/error.h"
#include "zarvik/db/connectiontext.h"
#include "zarvik/index/documentsource.h"

namespace zarvik::index {

inline const QString kSource = QStringLiteral("ZarvikIndexing.IndexBuilder");

[[noreturn]] inline void Fail(const QString& message) {
    throw component::Error(component::errnum::kDatabase, kSource, message);
}

inline QString CountQuery(const QString& query) {
    return QStringLiteral("SELECT COUNT(*) FROM (%1) AS lumora_documents").arg(query);
}

// SQLite through its C API; PostgreSQL through libpq, streamed row by row; ODBC through Qt SQL.
std::unique_ptr<DocumentReader> OpenSqliteDocuments(const QString& path, const QString& query, Heartbeat heartbeat);
std::unique_ptr<DocumentReader> OpenPostgresDocuments(const db::ConnectionText& connection, const QString& query);
std::unique_ptr<DocumentReader> OpenOdbcDocuments(const db::ConnectionText& connection, const QString& query);

}  // namespace zarvik::index
