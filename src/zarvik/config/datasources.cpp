// Looking up a named data source of an index, and the small amount of connection-text
// handling the configuration needs.
#include "zarvik/config/datasources.h"

#include <QDir>
#include <QRegularExpression>
#include <optional>

namespace zarvik::config {
namespace {

const component::DataSource* Find(const QString& name, const component::DataSourceList& dataSources) {
    if (name.isEmpty()) return nullptr;
    for (const auto& source : dataSources) {
        if (source.name == name) return &source;
    }
    return nullptr;
}

// One key=value pair of a connection text, by position in the text. valueBegin and
// valueEnd bound the value without the blanks around it (and with its braces).
struct Pair {
    QString key;
    qsizetype valueBegin = 0;
    qsizetype valueEnd = 0;
};

// Splits like the data layer: pairs separated by ';', a value wrapped in {...} may
// hold ';' and writes '}' as "}}".
QList<Pair> SplitPairs(const QString& text) {
    QList<Pair> pairs;
    qsizetype pos = 0;
    const qsizetype n = text.size();
    while (pos < n) {
        const qsizetype eq = text.indexOf(u'=', pos);
        const qsizetype semi = text.indexOf(u';', pos);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            // A piece without '=' carries no value; skip it.
            if (semi < 0) break;
            pos = semi + 1;
            continue;
        }
        Pair pair;
        pair.key = text.mid(pos, eq - pos).trimmed();
        qsizetype v = eq + 1;
        while (v < n && text[v].isSpace()) ++v;
        qsizetype end = v;
        if (v < n && text[v] == u'{') {
            end = v + 1;
            while (end < n) {
                if (text[end] == u'}') {
                    if (end + 1 < n && text[end + 1] == u'}') {
                        end += 2;
                        continue;
                    }
                    ++end;
                    break;
                }
                ++end;
            }
            pair.valueBegin = v;
            pair.valueEnd = end;
            const qsizetype next = text.indexOf(u';', end);
            pos = next < 0 ? n : next + 1;
        } else {
            const qsizetype next = text.indexOf(u';', v);
            end = next < 0 ? n : next;
            qsizetype trimmedEnd = end;
            while (trimmedEnd > v && text[trimmedEnd - 1].isSpace()) --trimmedEnd;
            pair.valueBegin = v;
            pair.valueEnd = trimmedEnd;
            pos = next < 0 ? n : next + 1;
        }
        pairs.append(pair);
    }
    return pairs;
}

QString Unbrace(const QString& value) {
    if (value.size() >= 2 && value.startsWith(u'{') && value.endsWith(u'}')) {
        QString inner = value.mid(1, value.size() - 2);
        inner.replace(QStringLiteral("}}"), QStringLiteral("}"));
        return inner;
    }
    return value;
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
    const QList<Pair> pairs = SplitPairs(connectionText);
    std::optional<Pair> database;
    for (const auto& pair : pairs) {
        const QString value = connectionText.mid(pair.valueBegin, pair.valueEnd - pair.valueBegin);
        if (pair.key.compare(u"Provider", Qt::CaseInsensitive) == 0 &&
            Unbrace(value).trimmed().compare(u"SQLite", Qt::CaseInsensitive) != 0) {
            return connectionText;
        }
        if (pair.key.compare(u"Database", Qt::CaseInsensitive) == 0 && !database) database = pair;
    }
    if (!database) return connectionText;
    const QString path =
        Unbrace(connectionText.mid(database->valueBegin, database->valueEnd - database->valueBegin));
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
