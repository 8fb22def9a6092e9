// The index build's reading of a PostgreSQL database, streamed by libpq row by row.
#include <libpq-fe.h>

#include <atomic>
#include <cstdlib>

#include "zarvik/db/batchreader.h"
#include "zarvik/db/database_p.h"
#include "zarvik/db/pg/pgbackend.h"
#include "zarvik/db/pg/pgtypes.h"

namespace zarvik::db {
namespace {

// Numbers, booleans and blobs are bound as such; any other type as its text.
void AddValue(Batch& batch, const PGresult* row, int c, Oid type) {
    if (PQgetisnull(row, 0, c)) return batch.AddNull();
    const char* text = PQgetvalue(row, 0, c);
    const std::size_t size = std::size_t(PQgetlength(row, 0, c));
    switch (type) {
        case pgtypes::kInt2:
        case pgtypes::kInt4:
        case pgtypes::kInt8:
        case pgtypes::kOid:
            return batch.AddInteger(std::strtoll(text, nullptr, 10));
        case pgtypes::kBool:
            return batch.AddInteger(text[0] == 't' ? 1 : 0);
        case pgtypes::kFloat4:
        case pgtypes::kFloat8:
            return batch.AddFloat(std::strtod(text, nullptr));
        case pgtypes::kBytea: {
            // Qt's driver sets bytea_output to escape; libpq reads either form.
            std::size_t length = 0;
            unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &length);
            if (!bytes) ThrowDatabaseError(QStringLiteral("Reading the documents failed: out of memory"));
            batch.AddBytes(Value::Type::kBlob, reinterpret_cast<const char*>(bytes), length);
            return PQfreemem(bytes);
        }
        default:
            return batch.AddBytes(Value::Type::kText, text, size);
    }
}

// The rows come in single-row mode: the server streams the result and the client
// holds one row at a time, with no cursor, no transaction and no round trip per slice.
class PgBatchReader final : public BatchReader {
public:
    PgBatchReader(PGconn* conn, const QString& query)
        : m_conn(conn), m_query(query.toUtf8()), m_cancel(PQgetCancel(conn)) {}
    ~PgBatchReader() override {
        // A query still running is stopped, so that the server does not go on
        // producing rows nobody reads, and the connection is left idle.
        if (m_running && m_cancel) Cancel();
        PQclear(m_row);
        if (m_running) Drain();
        PQfreeCancel(m_cancel);
    }
    PgBatchReader(const PgBatchReader&) = delete;
    PgBatchReader& operator=(const PgBatchReader&) = delete;

    std::int64_t Count() override {
        PGresult* res = PQexec(m_conn, CountQuery(QString::fromUtf8(m_query)).toUtf8().constData());
        const bool ok = PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) == 1;
        const std::int64_t n = ok ? std::strtoll(PQgetvalue(res, 0, 0), nullptr, 10) : -1;
        const QString why = ResultError(res);
        PQclear(res);
        if (ok) return n;
        if (m_interrupted) return -1;
        ThrowDatabaseError(QStringLiteral("Counting the documents failed: ") + why);
    }

    void Start() override {
        if (!PQsendQuery(m_conn, m_query.constData())) Fail(QStringLiteral("The document query failed: "));
        m_running = true;
        if (!PQsetSingleRowMode(m_conn)) Fail(QStringLiteral("The document query failed: "));
        // The first result carries the columns, also when there are no rows.
        m_row = Result(QStringLiteral("The document query failed: "));
        if (!m_row) return;
        for (int i = 0; i < PQnfields(m_row); ++i) {
            m_names << QString::fromUtf8(PQfname(m_row, i));
            m_types.push_back(PQftype(m_row, i));
        }
    }

    QStringList ColumnNames() const override { return m_names; }

    bool Read(Batch& batch, int maxRows, std::size_t maxBytes) override {
        const int columns = int(m_types.size());
        batch.columns = columns;
        while (!batch.Full(maxRows, maxBytes)) {
            if (!m_row) m_row = Result(QStringLiteral("Reading the documents failed: "));
            if (!m_row) return false;
            if (PQresultStatus(m_row) != PGRES_SINGLE_TUPLE) {
                // The closing result of the query: every row has been read.
                PQclear(std::exchange(m_row, nullptr));
                Drain();
                return false;
            }
            for (int c = 0; c < columns; ++c) AddValue(batch, m_row, c, m_types[std::size_t(c)]);
            ++batch.rows;
            PQclear(std::exchange(m_row, nullptr));
        }
        return true;
    }

    bool Stopped() const override { return m_interrupted; }

    void Interrupt() override {
        m_interrupted = true;
        Cancel();
    }

private:
    // The next result of the running query; nullptr once it has none. Raises
    // `failure` with the server's message, unless the read was asked to stop.
    PGresult* Result(const QString& failure) {
        PGresult* res = PQgetResult(m_conn);
        if (!res) {
            m_running = false;
            return nullptr;
        }
        const ExecStatusType status = PQresultStatus(res);
        if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) return res;
        const QString why = ResultError(res);
        PQclear(res);
        Drain();
        if (m_interrupted) return nullptr;
        ThrowDatabaseError(failure + why);
    }

    [[noreturn]] void Fail(const QString& what) {
        ThrowDatabaseError(what + QString::fromUtf8(PQerrorMessage(m_conn)).trimmed());
    }

    void Drain() {
        while (PGresult* res = PQgetResult(m_conn)) PQclear(res);
        m_running = false;
    }

    void Cancel() {
        char why[256];
        PQcancel(m_cancel, why, int(sizeof why));
    }

    QString ResultError(const PGresult* res) const {
        const char* message = res ? PQresultErrorMessage(res) : nullptr;
        return QString::fromUtf8(message && *message ? message : PQerrorMessage(m_conn)).trimmed();
    }

    PGconn* m_conn;
    QByteArray m_query;
    PGcancel* m_cancel;
    PGresult* m_row = nullptr;
    bool m_running = false;
    std::atomic<bool> m_interrupted{false};
    QStringList m_names;
    std::vector<Oid> m_types;
};

}  // namespace

std::unique_ptr<BatchReader> PgBackend::NewBatchReader(const QString& query, Heartbeat) {
    // A BEGIN still waiting would otherwise go with the next statement of this connection.
    m_session.SendPendingBegin();
    return std::make_unique<PgBatchReader>(m_session.get(), query);
}

}  // namespace zarvik::db
