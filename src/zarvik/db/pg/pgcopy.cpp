// COPY ... FROM STDIN in text format.
#include "zarvik/db/pg/pgcopy.h"

#include <libpq-fe.h>

#include <charconv>
#include <iterator>

#include "zarvik/db/pg/pgpipeline.h"

namespace zarvik::db {
namespace {

// Enough rows per message that the stream, not the messages, costs.
constexpr qsizetype kCopyBuffer = 1 << 16;

// A value as COPY's text format writes it: the text the server reads as a parameter,
// its backslashes and the characters that end a field or a row escaped; \N for NULL.
// Whole numbers, most of what the rows hold, are written without a text of their own.
void AppendField(QByteArray& line, const QVariant& value) {
    const int type = value.typeId();
    if ((type == QMetaType::Int || type == QMetaType::LongLong) && !value.isNull()) {
        char digits[24];
        const char* end = std::to_chars(std::begin(digits), std::end(digits), value.toLongLong()).ptr;
        line.append(digits, end - digits);
        return;
    }
    const std::optional<QByteArray> text = PgParameter(value);
    if (!text) {
        line += "\\N";
        return;
    }
    const char* from = text->constData();
    const char* const last = from + text->size();
    for (const char* c = from; c != last; ++c) {
        const char* escape = nullptr;
        switch (*c) {
            case '\\':
                escape = "\\\\";
                break;
            case '\t':
                escape = "\\t";
                break;
            case '\n':
                escape = "\\n";
                break;
            case '\r':
                escape = "\\r";
                break;
            default:
                continue;
        }
        line.append(from, c - from);
        line.append(escape);
        from = c + 1;
    }
    line.append(from, last - from);
}

// Streams the rows; false when libpq could not send them.
bool PutRows(PGconn* conn, const std::vector<QVariant>& values, qsizetype width) {
    QByteArray buffer;
    buffer.reserve(kCopyBuffer + 1024);
    for (std::size_t i = 0; i < values.size(); ++i) {
        AppendField(buffer, values[i]);
        buffer += qsizetype(i + 1) % width == 0 ? '\n' : '\t';
        if (buffer.size() >= kCopyBuffer) {
            if (PQputCopyData(conn, buffer.constData(), int(buffer.size())) != 1) return false;
            buffer.clear();
        }
    }
    return buffer.isEmpty() || PQputCopyData(conn, buffer.constData(), int(buffer.size())) == 1;
}

}  // namespace

void CopyRows(PGconn* conn, const QString& table, const QStringList& columns,
              const std::vector<QVariant>& values, const QString& failure) {
    const QByteArray command =
        (QStringLiteral("COPY %1 (%2) FROM STDIN").arg(table, columns.join(QStringLiteral(", ")))).toUtf8();
    PGresult* start = PQexec(conn, command.constData());
    const bool copying = PQresultStatus(start) == PGRES_COPY_IN;
    const QString refused = PgResultError(conn, start);
    PQclear(start);
    if (!copying) ThrowPgError(failure, refused, command);
    const bool sent = PutRows(conn, values, qMax<qsizetype>(1, columns.size()));
    QString error;
    if (PQputCopyEnd(conn, sent ? nullptr : "the rows could not be sent") != 1 || !sent)
        error = QString::fromUtf8(PQerrorMessage(conn));
    // The COPY's own result, then the null that ends its results.
    while (PGresult* result = PQgetResult(conn)) {
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && error.isEmpty()) error = PgResultError(conn, result);
        PQclear(result);
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT) break;  // never ends: the connection is gone
    }
    if (!error.isEmpty()) ThrowPgError(failure, error, command);
}

}  // namespace zarvik::db
