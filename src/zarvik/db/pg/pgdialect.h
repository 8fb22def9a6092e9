// PostgreSQL's SQL as the program's statements meet it: LIMIT for TOP, $n markers,
// savepoints, many rows an INSERT. Its type numbers are in pgtypes.h.
#pragma once

#include <QByteArray>

#include "zarvik/db/tsql.h"

namespace zarvik::db {

inline constexpr Dialect kPgDialect{.numberedMarkers = true};

// A savepoint's statements as libpq takes them.
struct PgSavepoint {
    explicit PgSavepoint(const QString& name) {
        const SavepointTexts texts = SavepointsOf(kPgDialect, name);
        set = texts.set.toUtf8();
        release = texts.release.toUtf8();
        rollbackTo = texts.rollbackTo.toUtf8();
    }
    QByteArray set, release, rollbackTo;
};

}  // namespace zarvik::db
