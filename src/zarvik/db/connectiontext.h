// Reading connection texts: key=value pairs separated by ';', keys case-insensitive,
// a value that contains ';' wrapped in {...}.
#pragma once

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

}  // namespace zarvik::db
