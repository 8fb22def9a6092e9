// Statements of the program on a PostgreSQL connection: rewritten, their values as
// parameters of statements the server prepares once per shape, whole results read.
#include <libpq-fe.h>

#include <QDate>
#include <QDateTime>

#include "zarvik/db/pg/pgdialect.h"
#include "zarvik/db/pg/pgsession.h"
#include "zarvik/db/pg/pgtypes.h"
#include "zarvik/db/tsql.h"

namespace zarvik::db {
namespace {

using namespace pgtypes;

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

struct ClearResult {
    PGresult* r;
    ~ClearResult() { PQclear(r); }
};

// One statement of the program on the connection: rewritten, its values as
// parameters, and the statement the server has prepared for its shape (if any).
class PgQuery {
public:
    PgQuery(PgSession& session, const QString& sql, const QString& what)
        : m_statements(session.Statements()),
          m_conn(session.get()),
          m_original(sql),
          m_what(what),
          m_sql(RewriteTSqlWithParameters(sql, kPgDialect)) {
        m_key = m_sql.text;
        m_key += QChar(0);
        for (const QVariant& value : std::as_const(m_sql.values)) {
            const std::optional<QByteArray> text = PgParameter(value);
            m_texts.push_back(text);
            const Oid type = PgParameterType(value);
            m_types.push_back(type);
            m_key += type == kInt4 ? QLatin1Char('4') : type == kInt8 ? QLatin1Char('8') : QLatin1Char('t');
        }
        for (const auto& text : m_texts) m_values.push_back(text ? text->constData() : nullptr);
    }

    // The server's statement for the shape, prepared on first use; null when the
    // statement has no values or the connection keeps no more.
    PgStatementCache::Prepared* Prepared() {
        if (m_sql.values.isEmpty()) return nullptr;
        if (PgStatementCache::Prepared* kept = m_statements.Find(m_key)) return kept;
        const QByteArray name = m_statements.NewName();
        if (name.isEmpty()) return nullptr;
        PrepareAs(name);
        return &m_statements.Keep(m_key, name);
    }

    void PrepareAs(const QByteArray& name) {
        const QByteArray text = m_sql.text.toUtf8();
        PGresult* result =
            PQprepare(m_conn, name.constData(), text.constData(), int(m_types.size()), m_types.data());
        const ClearResult clear{result};
        if (!result || PQresultStatus(result) != PGRES_COMMAND_OK) Throw(PgResultError(m_conn, result));
    }

    // Runs the statement; the result is the caller's to clear.
    PGresult* Run() {
        PGresult* result = Send();
        if (!Succeeded(result) && Outdated(result)) {
            // The table under the statement changed since it was prepared (columns
            // added, dropped or retyped): prepared anew it runs. Outside a
            // transaction only; inside one the failure has already ended it.
            m_statements.Remove(m_key);
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
        const QString message = PgResultError(m_conn, result);
        PQclear(result);
        Throw(message);
    }

    bool HasValues() const { return !m_sql.values.isEmpty(); }

    PGresult* Send() {
        if (PgStatementCache::Prepared* prepared = Prepared())
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
        PgStatementCache::Prepared* prepared = Prepared();
        if (prepared && prepared->described) return prepared->columns;
        QByteArray name;
        if (prepared)
            name = prepared->name;
        else
            PrepareAs(name);  // unprepared shapes are described through the unnamed statement
        PGresult* result = PQdescribePrepared(m_conn, name.constData());
        const ClearResult clear{result};
        if (!result || PQresultStatus(result) != PGRES_COMMAND_OK) Throw(PgResultError(m_conn, result));
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
        statement.shown = RewriteTSql(m_original, kPgDialect).toUtf8();
        PgPreparing preparing(m_statements);
        if (!m_sql.values.isEmpty()) preparing.Use(m_key, statement);
        RunPipeline(m_conn, statements);
        preparing.Keep();
    }

    [[noreturn]] void Throw(const QString& message) const {
        ThrowPgError(m_what, message, RewriteTSql(m_original, kPgDialect).toUtf8());
    }

private:
    PgStatementCache& m_statements;
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

void PgSession::Read(const QString& sql, QStringList& columns, QList<QVariantList>& byColumn) {
    SendPendingBegin();
    PgQuery query(*this, sql, QStringLiteral("The query failed"));
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

QStringList PgSession::Columns(const QString& sql) {
    SendPendingBegin();
    return PgQuery(*this, sql, QStringLiteral("The query failed")).Columns();
}

void PgSession::Execute(const QString& sql) {
    PgQuery query(*this, sql, QStringLiteral("Execute failed"));
    if (!query.HasValues()) {
        SendPendingBegin();
        PQclear(query.RunAsWritten());
    } else if (DropPendingBegin()) {
        query.RunAfterBegin();
    } else {
        PQclear(query.Run());
    }
}

void PgSession::SendPendingBegin() {
    if (DropPendingBegin())
        RunTransactionStatement(m_connection, "BEGIN", QStringLiteral("BeginTrans failed"));
}

void PgSession::End(bool commit, const QString& what) {
    if (DropPendingBegin()) return;
    RunTransactionStatement(m_connection, commit ? "COMMIT" : "ROLLBACK", what);
}

}  // namespace zarvik::db
