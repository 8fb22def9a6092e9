// The multi-row INSERT text and its power-of-two chunks.
#include "zarvik/db/insertrows.h"

namespace zarvik::db {

QString MultiRowInsert(const QString& table, const QString& names, qsizetype width, qsizetype rows,
                       bool numbered) {
    QString values;
    values.reserve(rows * width * 7);
    qsizetype mark = 0;
    for (qsizetype r = 0; r < rows; ++r) {
        values += r > 0 ? QStringLiteral(", (") : QStringLiteral("(");
        for (qsizetype c = 0; c < width; ++c) {
            if (c > 0) values += QStringLiteral(", ");
            if (numbered)
                values += QLatin1Char('$') + QString::number(++mark);
            else
                values += QLatin1Char('?');
        }
        values += QLatin1Char(')');
    }
    return QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") + names +
           QStringLiteral(") VALUES ") + values;
}

qsizetype RowsPerStatement(qsizetype left, qsizetype most) {
    qsizetype chunk = 1;
    while (chunk * 2 <= left && chunk * 2 <= most) chunk *= 2;
    return chunk;
}

}  // namespace zarvik::db
