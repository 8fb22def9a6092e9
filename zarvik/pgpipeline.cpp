// PostgreSQL through libpq: several statements in one round trip, whole results.
#include "zarvik/pgpipeline.h"

#include <libpq-fe.h>

#include <QDate>
#include <QDateTime>
#include <QSqlDriver>
#include <QSqlError>
#include <QTime>
#include <cmath>

#include "zarvik/database_p.h"

namespace zarvik::db {

pg_conn* PostgresHandleOf(const QSqlDatabase& database) {
    // Qt names the type by the struct behind libpq's typedef.
    return static_cast<PGconn*>(DriverHandle(database, "pg_conn*"));
}

std::optional<QByteArray> PgParameter(const QVariant& value) {
    if (value.isNull()) return std::nullopt;
    switch (value.typeId()) {
        case QMetaType::Bool:
            return value.toBool() ? QByteArray("true") : QByteArray("false");
        case QMetaType::Int:
        case QMetaType::Short:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::Long:
        case QMetaType::LongLong:
            return QByteArray::number(value.toLongLong());
        case QMetaType::UInt:
        case QMetaType::UShort:
        case QMetaType::UChar:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
            return QByteArray::number(value.toULongLong());
        case QMetaType::Double:
        case QMetaType::Float: {
            const double d = value.toDouble();
            if (std::isnan(d)) return QByteArray("NaN");
            if (std::isinf(d)) return d > 0 ? QByteArray("Infinity") : QByteArray("-Infinity");
            return QByteArray::number(d, 'g', 17);
        }
        case QMetaType::QByteArray:
            return QByteArray("\\x") + value.toByteArray().toHex();
        case QMetaType::QDate:
            return value.toDate().toString(Qt::ISODate).toUtf8();
        case QMetaType::QTime:
            return value.toTime().toString(Qt::ISODateWithMs).toUtf8();
        case QMetaType::QDateTime:
            return value.toDateTime().toString(Qt::ISODateWithMs).toUtf8();
        default:
            return value.toString().toUtf8();
    }
}

namespace {

[[noreturn]] void Fail(const QString& what, const QString& message, const QByteArray& sql) {
    ThrowDatabaseError(what,
                       QSqlError(QStringLiteral("Unable to execute statement"), message.trimmed(),
                                 QSqlError::StatementError),
                       QString::fromUtf8(sql));
}

// Reads every result of the pipeline up to its sync, so that the connection is idle
// again whatever happened; returns the first failure (statement index and message).
std::optional<std::pair<std::size_t, QString>> Collect(PGconn* conn, std::size_t count) {
    std::optional<std::pair<std::size_t, QString>> failure;
    for (std::size_t i = 0; i < count; ++i) {
        PGresult* result = PQgetResult(conn);
        if (!result) {
            if (!failure) failure = {i, QString::fromUtf8(PQerrorMessage(conn))};
            if (PQstatus(conn) != CONNECTION_OK) return failure;
            continue;
        }
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && !failure)
            failure = {i, status == PGRES_PIPELINE_ABORTED
                              ? QStringLiteral("not run after an earlier failure")
                              : QString::fromUtf8(PQresultErrorMessage(result))};
        PQclear(result);
        // Each statement's results end with a null result.
        while (PGresult* extra = PQgetResult(conn)) PQclear(extra);
    }
    // The sync that ends the pipeline.
    while (PGresult* result = PQgetResult(conn)) {
        const bool sync = PQresultStatus(result) == PGRES_PIPELINE_SYNC;
        PQclear(result);
        if (sync) break;
    }
    return failure;
}

// Type OIDs of the server's catalog (pg_type), fixed since they are built in.
enum : Oid {
    kBool = 16,
    kBytea = 17,
    kInt8 = 20,
    kInt2 = 21,
    kInt4 = 23,
    kOid = 26,
    kFloat4 = 700,
    kFloat8 = 701,
    kNumeric = 1700,
    kDate = 1082,
    kTimestamp = 1114,
    kTimestampTz = 1184
};

QVariant PgValue(const PGresult* result, int row, int column) {
    if (PQgetisnull(result, row, column)) return QVariant();
    const char* text = PQgetvalue(result, row, column);
    const int length = PQgetlength(result, row, column);
    switch (PQftype(result, column)) {
        case kInt2:
        case kInt4:
        case kOid:
            return QVariant(QByteArray::fromRawData(text, length).toInt());
        case kInt8:
            return QVariant(QByteArray::fromRawData(text, length).toLongLong());
        case kFloat4:
        case kFloat8:
        case kNumeric:
            return QVariant(QByteArray::fromRawData(text, length).toDouble());
        case kBool:
            return QVariant(length > 0 && text[0] == 't');
        case kBytea: {
            size_t size = 0;
            unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
            QByteArray data(reinterpret_cast<const char*>(bytes), qsizetype(size));
            PQfreemem(bytes);
            return QVariant(data);
        }
        case kDate:
            return QVariant(QDate::fromString(QString::fromLatin1(text, length), Qt::ISODate));
        case kTimestamp:
        case kTimestampTz:
            return QVariant(QDateTime::fromString(
                QString::fromLatin1(text, length).replace(QLatin1Char(' '), QLatin1Char('T')),
                Qt::ISODateWithMs));
        default:
            return QVariant(QString::fromUtf8(text, length));
    }
}

}  // namespace

void ReadPostgres(PGconn* conn, const QString& sql, QStringList& columns, QList<QVariantList>& rows) {
    const QByteArray text = sql.toUtf8();
    PGresult* result = PQexecParams(conn, text.constData(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    struct Clear {
        PGresult* r;
        ~Clear() { PQclear(r); }
    } clear{result};
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        Fail(QStringLiteral("The query failed"),
             QString::fromUtf8(result ? PQresultErrorMessage(result) : PQerrorMessage(conn)), text);
    const int count = PQnfields(result);
    for (int c = 0; c < count; ++c) columns.append(QString::fromUtf8(PQfname(result, c)));
    const int total = PQntuples(result);
    rows.reserve(total);
    for (int r = 0; r < total; ++r) {
        QVariantList row;
        row.reserve(count);
        for (int c = 0; c < count; ++c) row.append(PgValue(result, r, c));
        rows.append(std::move(row));
    }
}

void RunPipeline(PGconn* conn, const std::vector<PgStatement>& statements) {
    if (statements.empty()) return;
    if (PQenterPipelineMode(conn) != 1)
        Fail(statements.front().failure, QString::fromUtf8(PQerrorMessage(conn)), statements.front().sql);
    std::size_t sent = 0;
    std::optional<std::pair<std::size_t, QString>> failure;
    for (const PgStatement& statement : statements) {
        std::vector<std::optional<QByteArray>> texts;
        texts.reserve(std::size_t(statement.values.size()));
        for (const QVariant& value : statement.values) texts.push_back(PgParameter(value));
        std::vector<const char*> values;
        values.reserve(texts.size());
        for (const auto& text : texts) values.push_back(text ? text->constData() : nullptr);
        if (PQsendQueryParams(conn, statement.sql.constData(), int(values.size()), nullptr, values.data(),
                              nullptr, nullptr, 0) != 1) {
            failure = {sent, QString::fromUtf8(PQerrorMessage(conn))};
            break;
        }
        ++sent;
    }
    if (PQpipelineSync(conn) != 1 && !failure) failure = {sent, QString::fromUtf8(PQerrorMessage(conn))};
    const auto collected = Collect(conn, sent);
    if (collected && (!failure || collected->first < failure->first)) failure = collected;
    PQexitPipelineMode(conn);
    if (failure) {
        const PgStatement& failed = statements.at(std::min(failure->first, statements.size() - 1));
        Fail(failed.failure, failure->second, failed.sql);
    }
}

}  // namespace zarvik::db
