// Reading connection texts.
#include "zarvik/db/connectiontext.h"

namespace zarvik::db {
namespace {

const QString kSource = QStringLiteral("ZarvikIndexing.Database");

// The text may carry a password, so the message names only the fault.
[[noreturn]] void Fail(const QString& why) {
    throw component::Error(component::errnum::kDatabase, kSource,
                           QStringLiteral("Invalid connection text: ") + why);
}

// The value in braces that starts at `i`, which is left after the closing brace;
// "}}" stands for one '}'.
QString ReadBraced(const QString& text, qsizetype& i, const QString& key) {
    const qsizetype n = text.size();
    ++i;
    QString value;
    while (i < n) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('}')) {
            if (i + 1 < n && text.at(i + 1) == QLatin1Char('}')) {
                value += c;
                i += 2;
                continue;
            }
            ++i;
            return value;
        }
        value += c;
        ++i;
    }
    Fail(QStringLiteral("an unterminated '{' in the value of %1").arg(key));
}

}  // namespace

QList<ConnectionPair> SplitConnectionText(const QString& text) {
    QList<ConnectionPair> pairs;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        const qsizetype eq = text.indexOf(QLatin1Char('='), i);
        const qsizetype semi = text.indexOf(QLatin1Char(';'), i);
        if (semi == i) {  // an empty pair (";;" or a leading ';')
            ++i;
            continue;
        }
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            const QString rest = text.mid(i, semi < 0 ? -1 : semi - i);
            if (rest.trimmed().isEmpty()) {  // blanks before ';' or at the end
                i = semi < 0 ? n : semi + 1;
                continue;
            }
            Fail(QStringLiteral("a pair without '=' at position %1").arg(i + 1));
        }
        ConnectionPair pair;
        pair.key = text.mid(i, eq - i).trimmed().toLower();
        if (pair.key.isEmpty()) Fail(QStringLiteral("an empty key at position %1").arg(i + 1));
        i = eq + 1;
        while (i < n && text.at(i).isSpace()) ++i;
        pair.valueBegin = i;
        if (i < n && text.at(i) == QLatin1Char('{')) {
            const QString value = ReadBraced(text, i, pair.key);
            pair.valueEnd = i;
            while (i < n && text.at(i).isSpace()) ++i;
            if (i < n && text.at(i) != QLatin1Char(';'))
                Fail(QStringLiteral("text after '}' in the value of %1").arg(pair.key));
            pair.value = value;
        } else {
            const qsizetype stop = text.indexOf(QLatin1Char(';'), i);
            pair.value = text.mid(i, stop < 0 ? -1 : stop - i).trimmed();
            pair.valueEnd = i + pair.value.size();
            i = stop < 0 ? n : stop;
        }
        if (i < n) ++i;  // the ';'
        pairs.append(pair);
    }
    return pairs;
}

QString ConnectionText::Value(const QString& key) const {
    return values.value(key.toLower());
}

ConnectionText ParseConnectionText(const QString& text) {
    ConnectionText result;
    // Find the Provider pair first, pair by pair, stopping once it is found: an ODBC
    // text is the driver manager's to interpret and need not follow our rules.
    qsizetype i = 0;
    const qsizetype n = text.size();
    qsizetype providerBegin = -1, providerEnd = -1;
    QString providerValue;
    while (i < n) {
        qsizetype semi = text.indexOf(QLatin1Char(';'), i);
        qsizetype stop = semi < 0 ? n : semi;
        const QString piece = text.mid(i, stop - i);
        const qsizetype eq = piece.indexOf(QLatin1Char('='));
        if (eq >= 0 &&
            piece.left(eq).trimmed().compare(QStringLiteral("provider"), Qt::CaseInsensitive) == 0) {
            providerBegin = i;
            providerEnd = semi < 0 ? n : semi + 1;
            providerValue = piece.mid(eq + 1).trimmed();
            break;
        }
        // Skip a braced value so that a ';' inside it does not end the pair.
        const qsizetype brace = piece.indexOf(QLatin1Char('{'));
        if (eq >= 0 && brace > eq && piece.mid(eq + 1, brace - eq - 1).trimmed().isEmpty()) {
            qsizetype j = i + brace + 1;
            while (j < n) {
                if (text.at(j) == QLatin1Char('}')) {
                    if (j + 1 < n && text.at(j + 1) == QLatin1Char('}')) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            if (j >= n) Fail(QStringLiteral("an unterminated '{'"));
            semi = text.indexOf(QLatin1Char(';'), j);
            stop = semi < 0 ? n : semi;
        }
        i = stop + 1;
    }

    if (providerBegin < 0 || providerValue.compare(QStringLiteral("SQLite"), Qt::CaseInsensitive) == 0) {
        result.provider = Provider::SQLite;
    } else if (providerValue.compare(QStringLiteral("PostgreSQL"), Qt::CaseInsensitive) == 0) {
        result.provider = Provider::PostgreSQL;
    } else if (providerValue.compare(QStringLiteral("ODBC"), Qt::CaseInsensitive) == 0) {
        result.provider = Provider::ODBC;
        result.odbcText = text.left(providerBegin) + text.mid(providerEnd);
        return result;
    } else {
        Fail(QStringLiteral("unknown provider \"%1\" (SQLite, PostgreSQL or ODBC)").arg(providerValue));
    }

    for (const ConnectionPair& pair : SplitConnectionText(text))
        if (pair.key != QStringLiteral("provider")) result.values.insert(pair.key, pair.value);
    return result;
}

}  // namespace zarvik::db
