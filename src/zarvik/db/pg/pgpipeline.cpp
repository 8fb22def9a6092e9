// PostgreSQL through libpq: several statements in one round trip.
#include "zarvik/db/pg/pgpipeline.h"

#include <libpq-fe.h>

#include <QDate>
#include <QDateTime>
#include <QSqlError>
#include <QTime>
#include <cmath>
#include <limits>

#include "zarvik/db/pg/pgtypes.h"

namespace zarvik::db {

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

unsigned int PgParameterType(const QVariant& value) {
    if (value.typeId() != QMetaType::LongLong) return 0;
    const qlonglong n = value.toLongLong();
    return n >= std::numeric_limits<qint32>::min() && n <= std::numeric_limits<qint32>::max()
               ? pgtypes::kInt4
               : pgtypes::kInt8;
}

QString PgResultError(PGconn* conn, const PGresult* result) {
    return QString::fromUtf8(result ? PQresultErrorMessage(result) : PQerrorMessage(conn));
}

void ThrowPgError(const QString& what, const QString& message, const QByteArray& sql) {
    ThrowDatabaseError(what,
                       QSqlError(QStringLiteral("Unable to execute statement"), message.trimmed(),
                                 QSqlError::StatementError),
                       QString::fromUtf8(sql));
}

namespace {

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

struct ClearResult {
    PGresult* r;
    ~ClearResult() { PQclear(r); }
};

}  // namespace

void RunTransactionStatement(PGconn* conn, const char* statement, const QString& what) {
    PGresult* result = PQexec(conn, statement);
    const ClearResult clear{result};
    const bool ok = result && PQresultStatus(result) == PGRES_COMMAND_OK;
    if (ok && qstrcmp(statement, "COMMIT") == 0 && qstrcmp(PQcmdStatus(result), "ROLLBACK") == 0)
        ThrowDatabaseError(what,
                           QSqlError(QStringLiteral("Could not commit transaction"),
                                     QStringLiteral("the transaction had failed and was rolled back"),
                                     QSqlError::TransactionError),
                           {});
    if (!ok)
        ThrowDatabaseError(what,
                           QSqlError(QStringLiteral("Unable to execute statement"),
                                     PgResultError(conn, result).trimmed(), QSqlError::TransactionError),
                           {});
}

void RunPipeline(PGconn* conn, const std::vector<PgStatement>& statements, std::size_t* failedAt) {
    if (statements.empty()) return;
    if (PQenterPipelineMode(conn) != 1)
        ThrowPgError(statements.front().failure, QString::fromUtf8(PQerrorMessage(conn)),
                     statements.front().sql);
    // The statement behind each result that the server sends back.
    std::vector<std::size_t> owners;
    // A statement that could not be sent: its index and libpq's message.
    std::optional<std::pair<std::size_t, QString>> unsent;
    for (std::size_t i = 0; i < statements.size(); ++i) {
        const PgStatement& statement = statements[i];
        std::vector<std::optional<QByteArray>> texts;
        texts.reserve(std::size_t(statement.values.size()));
        for (const QVariant& value : statement.values) texts.push_back(PgParameter(value));
        std::vector<const char*> values;
        values.reserve(texts.size());
        for (const auto& text : texts) values.push_back(text ? text->constData() : nullptr);
        const Oid* types = statement.types.empty() ? nullptr : statement.types.data();
        if (statement.prepare) {
            if (PQsendPrepare(conn, statement.prepared.constData(), statement.sql.constData(),
                              int(values.size()), types) != 1) {
                unsent = {i, QString::fromUtf8(PQerrorMessage(conn))};
                break;
            }
            owners.push_back(i);
        }
        const int sent = statement.prepared.isEmpty()
                             ? PQsendQueryParams(conn, statement.sql.constData(), int(values.size()), types,
                                                 values.data(), nullptr, nullptr, 0)
                             : PQsendQueryPrepared(conn, statement.prepared.constData(), int(values.size()),
                                                   values.data(), nullptr, nullptr, 0);
        if (sent != 1) {
            unsent = {i, QString::fromUtf8(PQerrorMessage(conn))};
            break;
        }
        owners.push_back(i);
    }
    if (PQpipelineSync(conn) != 1 && !unsent)
        unsent = {owners.empty() ? 0 : owners.back(), QString::fromUtf8(PQerrorMessage(conn))};
    const auto collected = Collect(conn, owners.size());
    PQexitPipelineMode(conn);
    // What ran failed before anything that was not sent.
    std::optional<std::pair<std::size_t, QString>> failure = unsent;
    if (collected)
        failure = {collected->first < owners.size() ? owners[collected->first] : owners.back(),
                   collected->second};
    if (failure) {
        if (failedAt) *failedAt = std::min(failure->first, statements.size() - 1);
        const PgStatement& failed = statements.at(std::min(failure->first, statements.size() - 1));
        ThrowPgError(failed.failure, failure->second, failed.shown.isEmpty() ? failed.sql : failed.shown);
    }
}

}  // namespace zarvik::db
