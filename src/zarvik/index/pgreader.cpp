// Reads the documents of a PostgreSQL database through libpq.
#include "zarvik/index/documentreaders.h"

#include <libpq-fe.h>

#include <atomic>
#include <cstdlib>

namespace zarvik::index {
namespace {

// --- PostgreSQL, through libpq -----------------------------------------------------

// Type numbers of pg_type that are bound as numbers or blobs; any other type is
// bound as its text.
constexpr Oid kBoolOid = 16, kByteaOid = 17, kInt8Oid = 20, kInt2Oid = 21, kInt4Oid = 23, kOidOid = 26,
              kFloat4Oid = 700, kFloat8Oid = 701;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The rows come in single-row mode: the server streams the result and the client
// holds one row at a time, with no cursor, no transaction and no round trip per slice.
class PgReader final : public DocumentReader {
public:
    PgReader(const db::ConnectionText& ct, const QString& query) : m_query(query.toUtf8()) {
        const int portNumber = ct.Value(QStringLiteral("port")).toInt();
        const QByteArray host = ct.Value(QStringLiteral("host")).toUtf8(),
                         port = portNumber > 0 ? QByteArray::number(portNumber) : QByteArray(),
                         db = ct.Value(QStringLiteral("database")).toUtf8(),
                         user = ct.Value(QStringLiteral("user")).toUtf8(),
                         password = ct.Value(QStringLiteral("password")).toUtf8();
        std::vector<const char*> keys, values;
        const auto add = [&](const char* key, const QByteArray& value) {
            if (value.isEmpty()) return;
            keys.push_back(key);
            values.push_back(value.constData());
        };
        add("host", host);
        add("port", port);
        add("dbname", db);
        add("user", user);
        add("password", password);
        const QByteArray utf8("UTF8"), app("Lumora Index Manager");
        add("client_encoding", utf8);
        add("application_name", app);
        keys.push_back(nullptr);
        values.push_back(nullptr);
        m_conn = PQconnectdbParams(keys.data(), values.data(), 0);
        if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
            const QString why = m_conn ? ErrorText() : QStringLiteral("out of memory");
            PQfinish(m_conn);
            m_conn = nullptr;
            Fail(QStringLiteral("Unable to open the document database: %1").arg(why));
        }
        m_cancel = PQgetCancel(m_conn);
    }
    ~PgReader() override {
        // A query still running is stopped, so that the server does not go on
        // producing rows nobody reads.
        if (m_running && m_cancel) Cancel();
        PQclear(m_row);
        PQfreeCancel(m_cancel);
        PQfinish(m_conn);
    }

    std::int64_t Count() override {
        PGresult* res = PQexec(m_conn, CountQuery(QString::fromUtf8(m_query)).toUtf8().constData());
        const bool ok = PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) == 1;
        const std::int64_t n = ok ? std::strtoll(PQgetvalue(res, 0, 0), nullptr, 10) : -1;
        const QString why = ResultError(res);
        PQclear(res);
        if (ok) return n;
        if (m_interrupted) return -1;
        Fail(QStringLiteral("Counting the documents failed: %1").arg(why));
    }

    void Start() override {
        if (!PQsendQuery(m_conn, m_query.constData()))
            Fail(QStringLiteral("The document query failed: %1").arg(ErrorText()));
        m_running = true;
        if (!PQsetSingleRowMode(m_conn))
            Fail(QStringLiteral("The document query failed: %1").arg(ErrorText()));
        // The first result carries the columns, also when there are no rows.
        m_row = Result(QStringLiteral("The document query failed: %1"));
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
        while (batch.rows < maxRows && batch.bytes.size() < maxBytes) {
            if (!m_row) m_row = Result(QStringLiteral("Reading the documents failed: %1"));
            if (!m_row) return false;
            if (PQresultStatus(m_row) != PGRES_SINGLE_TUPLE) {
                // The closing result of the query: every row has been read.
                PQclear(m_row);
                m_row = nullptr;
                Drain();
                return false;
            }
            for (int c = 0; c < columns; ++c) Add(batch, c);
            ++batch.rows;
            PQclear(m_row);
            m_row = nullptr;
        }
        return true;
    }

    bool Stopped() const override { return m_interrupted; }

    void Interrupt() override {
        m_interrupted = true;
        Cancel();
    }

private:
    void Add(Batch& batch, int c) {
        if (PQgetisnull(m_row, 0, c)) return batch.AddNull();
        const char* text = PQgetvalue(m_row, 0, c);
        const std::size_t size = std::size_t(PQgetlength(m_row, 0, c));
        switch (m_types[std::size_t(c)]) {
            case kInt2Oid:
            case kInt4Oid:
            case kInt8Oid:
            case kOidOid:
                return batch.AddInteger(std::strtoll(text, nullptr, 10));
            case kBoolOid:
                return batch.AddInteger(text[0] == 't' ? 1 : 0);
            case kFloat4Oid:
            case kFloat8Oid:
                return batch.AddFloat(std::strtod(text, nullptr));
            case kByteaOid: {
                // The text form of bytea is "\x" and two hex digits a byte.
                std::string bytes;
                if (size >= 2 && text[0] == '\\' && text[1] == 'x') {
                    bytes.reserve((size - 2) / 2);
                    for (std::size_t i = 2; i + 1 < size; i += 2)
                        bytes.push_back(char(HexDigit(text[i]) << 4 | HexDigit(text[i + 1])));
                } else {
                    bytes.assign(text, size);
                }
                return batch.AddBytes(Value::Type::kBlob, bytes.data(), bytes.size());
            }
            default:
                return batch.AddBytes(Value::Type::kText, text, size);
        }
    }

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
        Fail(failure.arg(why));
    }

    void Drain() {
        while (PGresult* res = PQgetResult(m_conn)) PQclear(res);
        m_running = false;
    }

    void Cancel() {
        char why[256];
        PQcancel(m_cancel, why, int(sizeof why));
    }

    QString ErrorText() const { return QString::fromUtf8(PQerrorMessage(m_conn)).trimmed(); }
    QString ResultError(const PGresult* res) const {
        const char* message = res ? PQresultErrorMessage(res) : nullptr;
        return message && *message ? QString::fromUtf8(message).trimmed() : ErrorText();
    }

    QByteArray m_query;
    PGconn* m_conn = nullptr;
    PGcancel* m_cancel = nullptr;
    PGresult* m_row = nullptr;
    bool m_running = false;
    std::atomic<bool> m_interrupted{false};
    QStringList m_names;
    std::vector<Oid> m_types;
};


}  // namespace

std::unique_ptr<DocumentReader> OpenPostgresDocuments(const db::ConnectionText& connection, const QString& query) {
    return std::make_unique<PgReader>(connection, query);
}

}  // namespace zarvik::index
