// Streams the rows of a document query for the index builder.
#include "zarvik/index/documentsource.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "zarvik/index/documentreaders.h"

namespace zarvik::index {
namespace {

// A query copied into a subquery must not end in ';'.
QString TrimQuery(const QString& query) {
    QString q = query.trimmed();
    while (q.endsWith(QLatin1Char(';'))) q = q.chopped(1).trimmed();
    return q;
}

}  // namespace

Source ResolveSource(const QString& connectionText, const QString& query) {
    if (connectionText.trimmed().isEmpty()) Fail(QStringLiteral("The connection text is empty."));
    Source source;
    // One reading of connection texts for the whole library, so a value the
    // data-source lookup wrapped in braces reads back the same here.
    source.connection = db::ParseConnectionText(connectionText);
    source.query = TrimQuery(query);
    if (source.query.isEmpty()) Fail(QStringLiteral("The document query is empty."));
    if (source.connection.provider == db::Provider::SQLite) {
        source.path = source.connection.Value(QStringLiteral("database"));
        if (source.path.isEmpty()) Fail(QStringLiteral("The connection text names no database."));
        if (QFileInfo(source.path).isRelative() && QCoreApplication::instance())
            source.path = QDir(QCoreApplication::applicationDirPath()).filePath(source.path);
    }
    return source;
}

std::unique_ptr<DocumentReader> OpenDocuments(const Source& source, Heartbeat heartbeat) {
    switch (source.connection.provider) {
        case db::Provider::SQLite:
            return OpenSqliteDocuments(source.path, source.query, std::move(heartbeat));
        case db::Provider::PostgreSQL:
            return OpenPostgresDocuments(source.connection, source.query);
        case db::Provider::ODBC:
            break;
    }
    return OpenOdbcDocuments(source.connection, source.query);
}

}  // namespace zarvik::index
