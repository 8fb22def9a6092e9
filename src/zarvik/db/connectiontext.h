// Reading connection texts: key=value pairs separated by ';', keys case-insensitive,
// a value that contains ';' wrapped in {...}.
#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include "component/error.h"

namespace zarvik::db {

enum class Provider { SQLite, PostgreSQL, ODBC };

struct ConnectionText {
    Provider provider = Provider::SQLite;
    // Keys in lower case, values with their braces removed; Provider is not among them.
    QMap<QString, QString> values;
    // ODBC only: the text without its Provider pair, for the driver manager as it is.
    QString odbcText;

    // The value of a key (any case); empty when missing.
    QString Value(const QString& key) const;
};

// Raises component::Error (errnum::kDatabase) for a pair without '=', an empty key,
// an unterminated '{' or an unknown provider.
ConnectionText ParseConnectionText(const QString& text);

// One key=value pair as it stands in a text: the key in lower case, the value without
// its braces, and [valueBegin, valueEnd) the value as written (braces included, the
// blanks around it not).
struct ConnectionPair {
    QString key;
    QString value;
    qsizetype valueBegin = 0;
    qsizetype valueEnd = 0;
};

// The pairs of a text in order, Provider among them, by the rules ParseConnectionText
// reads them with (it raises what this raises). Not for ODBC texts, whose pairs are the
// driver manager's.
QList<ConnectionPair> SplitConnectionText(const QString& text);

}  // namespace zarvik::db
