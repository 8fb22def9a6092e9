// PostgreSQL through libpq: several statements in one round trip, whole results.
#include "zarvik/db/pgpipeline.h"

#include <libpq-fe.h>

#include <QDate>
#include <QDateTime>
#include <QSqlDriver>
#include <QSqlError>
#include <QTime>
#include <cmath>
#include <limits>

#include "zarvik/db/database_p.h"
#include "zarvik/db/tsql.h"

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

namespace {

// Enough for every shape of statement of the USERNODE computation, lists of every
// length included; shapes past it are sent unprepared, so the server's memory for
// the connection stays bounded.
constexpr qsizetype kMostPrepared = 512;

struct ClearResult {
    PGresult* r;
    ~ClearResult() { PQclear(r); }
};

QString ResultError(PGconn* conn, const PGresult* result) {
    return QString::fromUtf8(result ? PQresultErrorMessage(result) : PQerrorMessage(conn));
}

// One statement of the program on the connection: rewritten, its values as
// parameters, and the statement the server has prepared for its shape (if any).
class PgQuery {
public:
    PgQuery(PhysicalConnection& physical, PGconn* conn, const QString& sql, const QString& what)
        : m_physical(physical),
          m_conn(conn),
          m_original(sql),
          m_what(what),
          m_sql(RewriteTSqlWithParameters(sql, Dialect::PostgreSQL)) {
        m_key = m_sql.text;
        m_key += QChar(0);
        for (const QVariant& value : std::as_const(m_sql.values)) {
            const std::optional<QByteArray> text = PgParameter(value);
            m_texts.push_back(text);
            // An integer is typed as the server types the same literal: int4 if it
            // fits, else int8. Text stays untyped, as a quoted literal is.
            Oid type = 0;
            if (value.typeId() == QMetaType::LongLong) {
                const qlonglong n = value.toLongLong();
                type = n >= std::numeric_limits<qint32>::min() && n <= std::numeric_limits<qint32>::max()
                           ? kInt4
                           : kInt8;
            }
            m_types.push_back(type);
            m_key += type == kInt4 ? QLatin1Char('4') : type == kInt8 ? QLatin1Char('8') : QLatin1Char('t');
        }
        for (const auto& text : m_texts) m_values.push_back(text ? text->constData() : nullptr);
    }

    // The server's statement for the shape, prepared on first use; null when the
    // statement has no values or the connection keeps no more.
    PhysicalConnection::PgPrepared* Prepared() {
        if (m_sql.values.isEmpty()) return nullptr;
        auto found = m_physical.pgPrepared.find(m_key);
        if (found != m_physical.pgPrepared.end()) return &*found;
        PhysicalConnection::PgPrepared prepared;
        prepared.name = NewPgStatementName(m_physical);
        if (prepared.name.isEmpty()) return nullptr;
        const QByteArray text = m_sql.text.toUtf8();
        PGresult* result = PQprepare(m_conn, prepared.name.constData(), text.constData(), int(m_types.size()),
                                     m_types.data());
        const ClearResult clear{result};
        if (!result || PQresultStatus(result) != PGRES_COMMAND_OK) Throw(ResultError(m_conn, result));
        return &*m_physical.pgPrepared.insert(m_key, prepared);
    }

    // Runs the statement; the result is the caller's to clear.
    PGresult* Run() {
        PGresult* result = Send();
        if (!Succeeded(result) && Outdated(result)) {
            // The table under the statement changed since it was prepared (columns
            // added, dropped or retyped): prepared anew it runs. Outside a
            // transaction only; inside one the failure has already ended it.
            m_physical.pgPrepared.remove(m_key);
            if (PQtransactionStatus(m_conn) == PQTRANS_IDLE) {
                PQclear(result);
                result = Send();
            }
        }
        return Checked(result);
    }

    // A statement with no values of its own may hold several statements, which the
    // simple protocol runs as Qt's driver runs them.
    PGresult* RunAsWritten() {
        const QByteArray text = m_sql.text.toUtf8();
        return Checked(PQexec(m_conn, text.constData()));
    }

    static bool Succeeded(const PGresult* result) {
        const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
        return status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK;
    }

    // The result when the statement succeeded; else it is cleared and its error raised.
    PGresult* Checked(PGresult* result) const {
        if (Succeeded(result)) return result;
        const QString message = ResultError(m_conn, result);
        PQclear(result);
        Throw(message);
    }

    bool HasValues() const { return !m_sql.values.isEmpty(); }

    PGresult* Send() {
        if (PhysicalConnection::PgPrepared* prepared = Prepared())
            return PQexecPrepared(m_conn, prepared->name.constData(), int(m_values.size()), m_values.data(),
                                  nullptr, nullptr, 0);
        const QByteArray text = m_sql.text.toUtf8();
        return PQexecParams(m_conn, text.constData(), int(m_values.size()), m_types.data(), m_values.data(),
                            nullptr, nullptr, 0);
    }

    // "cached plan must not change result type" (0A000), or the statement is gone
    // from the server (26000).
    static bool Outdated(const PGresult* result) {
        const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        return state && (qstrcmp(state, "0A000") == 0 || qstrcmp(state, "26000") == 0);
    }

    QStringList Columns() {
        PhysicalConnection::PgPrepared* prepared = Prepared();
        if (prepared && prepared->described) return prepared->columns;
        QByteArray name;
        if (prepared) {
            name = prepared->name;
        } else {
            // Unprepared shapes are described through the unnamed statement.
            const QByteArray text = m_sql.text.toUtf8();
            PGresult* result = PQprepare(m_conn, "", text.constData(), int(m_types.size()), m_types.data());
            const ClearResult clear{result};
            if (!result || PQresultStatus(result) != PGRES_COMMAND_OK) Throw(ResultError(m_conn, result));
        }
        PGresult* result = PQdescribePrepared(m_conn, name.constData());
        const ClearResult clear{result};
        if (!result || PQresultStatus(result) != PGRES_COMMAND_OK) Throw(ResultError(m_conn, result));
        QStringList columns;
        for (int c = 0; c < PQnfields(result); ++c) columns.append(QString::fromUtf8(PQfname(result, c)));
        if (prepared) {
            prepared->columns = columns;
            prepared->described = true;
        }
        return columns;
    }

    // Runs a statement without result rows in one pipeline after the waiting BEGIN.
    void RunAfterBegin() {
        std::vector<PgStatement> statements(2);
        statements[0].sql = "BEGIN";
        statements[0].failure = QStringLiteral("BeginTrans failed");
        PgStatement& statement = statements[1];
        statement.sql = m_sql.text.toUtf8();
        statement.values = m_sql.values;
        statement.types = m_types;
        statement.failure = m_what;
        statement.shown = RewriteTSql(m_original, Dialect::PostgreSQL).toUtf8();
        const bool shaped = !m_sql.values.isEmpty();
        const auto found = m_physical.pgPrepared.constFind(m_key);
        if (shaped && found != m_physical.pgPrepared.constEnd()) {
            statement.prepared = found->name;
        } else if (shaped) {
            statement.prepared = NewPgStatementName(m_physical);
            statement.prepare = !statement.prepared.isEmpty();
        }
        m_physical.pgBeginPending = false;
        // A failed statement stays prepared: a row that breaks a constraint does not
        // change the statement, and the failure ends the transaction it ran in.
        RunPipeline(m_conn, statements);
        if (statement.prepare) m_physical.pgPrepared.insert(m_key, {statement.prepared, {}, false});
    }

    [[noreturn]] void Throw(const QString& message) const {
        Fail(m_what, message, RewriteTSql(m_original, Dialect::PostgreSQL).toUtf8());
    }

private:
    PhysicalConnection& m_physical;
    PGconn* m_conn;
    const QString& m_original;
    QString m_what;
    ParameterizedSql m_sql;
    QString m_key;
    std::vector<std::optional<QByteArray>> m_texts;
    std::vector<const char*> m_values;
    std::vector<unsigned int> m_types;
};

}  // namespace

QByteArray NewPgStatementName(PhysicalConnection& physical) {
    // Counts every name given, also those of statements prepared but not kept
    // (their pipeline failed), so that the server holds at most this many.
    if (physical.pgNames >= quint64(kMostPrepared)) return {};
    return "zarvik_" + QByteArray::number(++physical.pgNames);
}

void ReadPostgres(PhysicalConnection& physical, PGconn* conn, const QString& sql, QStringList& columns,
                  QList<QVariantList>& byColumn) {
    SendPendingBegin(physical, conn);
    PgQuery query(physical, conn, sql, QStringLiteral("The query failed"));
    PGresult* result = query.Run();
    const ClearResult clear{result};
    const int count = PQnfields(result);
    for (int c = 0; c < count; ++c) columns.append(QString::fromUtf8(PQfname(result, c)));
    const int total = PQntuples(result);
    byColumn.resize(count);
    for (int c = 0; c < count; ++c) {
        QVariantList& values = byColumn[c];
        values.reserve(total);
        for (int r = 0; r < total; ++r) values.append(PgValue(result, r, c));
    }
}

QStringList PostgresColumns(PhysicalConnection& physical, PGconn* conn, const QString& sql) {
    SendPendingBegin(physical, conn);
    return PgQuery(physical, conn, sql, QStringLiteral("The query failed")).Columns();
}

void ExecutePostgres(PhysicalConnection& physical, PGconn* conn, const QString& sql) {
    PgQuery query(physical, conn, sql, QStringLiteral("Execute failed"));
    if (!query.HasValues()) {
        SendPendingBegin(physical, conn);
        PQclear(query.RunAsWritten());
    } else if (physical.pgBeginPending) {
        query.RunAfterBegin();
    } else {
        PQclear(query.Run());
    }
}

void BeginPostgres(PhysicalConnection& physical) {
    physical.pgBeginPending = true;
}

void SendPendingBegin(PhysicalConnection& physical, PGconn* conn) {
    if (!physical.pgBeginPending) return;
    physical.pgBeginPending = false;
    RunTransactionStatement(conn, "BEGIN", QStringLiteral("BeginTrans failed"));
}

void EndPostgres(PhysicalConnection& physical, PGconn* conn, bool commit, const QString& what) {
    if (physical.pgBeginPending) {
        physical.pgBeginPending = false;
        return;
    }
    RunTransactionStatement(conn, commit ? "COMMIT" : "ROLLBACK", what);
}

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
                                     ResultError(conn, result).trimmed(), QSqlError::TransactionError),
                           {});
}

void RunPipeline(PGconn* conn, const std::vector<PgStatement>& statements, std::size_t* failedAt) {
    if (statements.empty()) return;
    if (PQenterPipelineMode(conn) != 1)
        Fail(statements.front().failure, QString::fromUtf8(PQerrorMessage(conn)), statements.front().sql);
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
        Fail(failed.failure, failure->second, failed.shown.isEmpty() ? failed.sql : failed.shown);
    }
}

}  // namespace zarvik::db
