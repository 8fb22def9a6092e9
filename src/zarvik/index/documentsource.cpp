// Where the documents of a build come from.
#include "zarvik/index/documentsource.h"

#include "component/error.h"

namespace zarvik::index {
namespace {

[[noreturn]] void Fail(const QString& message) {
    throw component::Error(component::errnum::kDatabase, QStringLiteral("ZarvikIndexing.IndexBuilder"),
                           message);
}

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
    source.connection = db::ParseConnectionText(connectionText);
    source.query = TrimQuery(query);
    if (source.query.isEmpty()) Fail(QStringLiteral("The document query is empty."));
    return source;
}

}  // namespace zarvik::index
