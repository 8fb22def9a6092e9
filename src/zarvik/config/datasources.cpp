// Looking up a named data source of an index, and the small amount of connection-text
// handling the configuration needs.
#include "zarvik/config/datasources.h"

#include <QDir>
#include <QRegularExpression>
#include <optional>

#include "zarvik/db/connectiontext.h"

namespace zarvik::config {
namespace {

const component::DataSource* Find(const QString& name, const component::DataSourceList& dataSources) {
    if (name.isEmpty()) return nullptr;
    for (const auto& source : dataSources) {
        if (source.name == name) return &source;
    }
    return nullptr;
}

QString Brace(const QString& value) {
    // Blanks around a value are not part of it, so a value that has them is braced too.
    if (!value.contains(u';') && !value.startsWith(u'{') && value == value.trimmed()) return value;
    QString inner = value;
    inner.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return u'{' + inner + u'}';
}

// True when the characters around [begin, end) make it the whole value of a pair.
bool IsWholeValue(const QString& text, qsizetype begin, qsizetype end) {
    qsizetype before = begin;
    while (before > 0 && text[before - 1].isSpace()) --before;
    qsizetype after = end;
    while (after < text.size() && text[after].isSpace()) ++after;
    return before > 0 && text[before - 1] == u'=' && (after == text.size() || text[after] == u';');
}

}  // namespace

QString ConnectionStringFor(const QString& dbSetting1, const QString& dbSetting2, const QString& name,
                            const component::DataSourceList& dataSources) {
    const component::DataSource* source = Find(name, dataSources);
    if (!source) return {};
    // One pass over the text, so a setting that itself contains a placeholder is
    // taken literally.
    static const QRegularExpression placeholder(QStringLiteral("%DbSetting([12])%"));
    const QString& text = source->text;
    QString result;
    qsizetype last = 0;
    auto it = placeholder.globalMatch(text);
    while (it.hasNext()) {
        const auto match = it.next();
        result += QStringView(text).mid(last, match.capturedStart() - last);
        const QString& value = match.captured(1) == u"1" ? dbSetting1 : dbSetting2;
        result += IsWholeValue(text, match.capturedStart(), match.capturedEnd()) ? Brace(value) : value;
        last = match.capturedEnd();
    }
    result += QStringView(text).mid(last);
    return result;
}

QString DataSourceText(const QString& name, const component::DataSourceList& dataSources) {
    const component::DataSource* source = Find(name, dataSources);
    return source ? source->text : QString();
}

QString AnchorSqliteDatabase(const QString& connectionText, const QString& folder) {
    if (db::ParseConnectionText(connectionText).provider != db::Provider::SQLite) return connectionText;
    // The last Database= counts, as the data layer reads it.
    std::optional<db::ConnectionPair> database;
    for (const db::ConnectionPair& pair : db::SplitConnectionText(connectionText))
        if (pair.key == u"database") database = pair;
    if (!database) return connectionText;
    const QString& path = database->value;
    if (path.isEmpty() || path == u":memory:" || path.startsWith(u"file:", Qt::CaseInsensitive) ||
        QDir::isAbsolutePath(path)) {
        return connectionText;
    }
    const QString absolute = QDir::cleanPath(QDir(folder).absoluteFilePath(path));
    QString result = connectionText;
    result.replace(database->valueBegin, database->valueEnd - database->valueBegin, Brace(absolute));
    return result;
}

}  // namespace zarvik::config
