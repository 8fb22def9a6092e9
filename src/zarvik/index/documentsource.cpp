// Streams the rows of a document query for the index builder.
#include "zarvik/index/documentsource.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>

#include "component/error.h"
#include "zarvik/db/connectiontext.h"

namespace zarvik::docsource {
namespace {

const QString kSource = QStringLiteral("ZarvikIndexing.IndexBuilder");

[[noreturn]] void Fail(const QString& message) {
    throw component::Error(component::errnum::kDatabase, kSource, message);
}

// A query copied into a subquery must not end in ';'.
QString TrimQuery(const QString& query) {
    QString q = query.trimmed();
    while (q.endsWith(QLatin1Char(';'))) q = q.chopped(1).trimmed();
    return q;
}

QString CountQuery(const QString& query) {
    return QStringLiteral("SELECT COUNT(*) FROM (%1) AS lumora_documents").arg(query);
}

// --- SQLite, through the C API ---------------------------------------------------

class SqliteReader final : public DocumentReader {
public:
    SqliteReader(const QString& path, const QString& query, Heartbeat heartbeat)
        : m_query(query), m_heartbeat(std::move(heartbeat)) {
        const QByteArray file = path.toUtf8();
        // Read-only: a misspelt path must not leave an empty database behind.
        const int rc = sqlite3_open_v2(file.constData(), &m_db, SQLITE_OPEN_READONLY, nullptr);
        if (rc != SQLITE_OK) {
            const QString why =
                m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(rc));
            // A failed open still hands out a handle, and no destructor runs for an
            // object whose constructor throws.
            sqlite3_close(m_db);
            m_db = nullptr;
            Fail(QStringLiteral("Unable to open the document database %1: %2").arg(path, why));
        }
        // A writer of the application may hold the database for a moment.
        sqlite3_busy_timeout(m_db, 10000);
        sqlite3_progress_handler(m_db, 2000, &SqliteReader::Progress, this);
    }
    ~SqliteReader() override {
        sqlite3_finalize(m_stmt);
        sqlite3_close(m_db);
    }

    std::int64_t Count() override {
        sqlite3_stmt* stmt = Prepare(CountQuery(m_query));
        const int rc = Step(stmt);
        const std::int64_t n = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        if (rc == SQLITE_ROW) return n;
        if (m_stopped) return -1;
        Fail(
            QStringLiteral("Counting the documents failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
    }

    void Start() override { m_stmt = Prepare(m_query); }

    QStringList ColumnNames() const override {
        QStringList names;
        for (int i = 0; i < sqlite3_column_count(m_stmt); ++i)
            names << QString::fromUtf8(sqlite3_column_name(m_stmt, i));
        return names;
    }

    bool Read(Batch& batch, int maxRows, std::size_t maxBytes) override {
        const int columns = sqlite3_column_count(m_stmt);
        batch.columns = columns;
        while (batch.rows < maxRows && batch.bytes.size() < maxBytes) {
            const int rc = Step(m_stmt);
            if (rc != SQLITE_ROW) {
                if (rc == SQLITE_DONE || m_stopped) return false;
                Fail(QStringLiteral("Reading the documents failed: %1")
                         .arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
            }
            for (int c = 0; c < columns; ++c) {
                switch (sqlite3_column_type(m_stmt, c)) {
                    case SQLITE_INTEGER:
                        batch.AddInteger(sqlite3_column_int64(m_stmt, c));
                        break;
                    case SQLITE_FLOAT:
                        batch.AddFloat(sqlite3_column_double(m_stmt, c));
                        break;
                    case SQLITE_NULL:
                        batch.AddNull();
                        break;
                    case SQLITE_BLOB: {
                        const auto* blob = static_cast<const char*>(sqlite3_column_blob(m_stmt, c));
                        batch.AddBytes(Value::Type::kBlob, blob,
                                       std::size_t(sqlite3_column_bytes(m_stmt, c)));
                        break;
                    }
                    default: {
                        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, c));
                        batch.AddBytes(Value::Type::kText, text,
                                       std::size_t(sqlite3_column_bytes(m_stmt, c)));
                    }
                }
            }
            ++batch.rows;
        }
        return true;
    }

    bool Stopped() const override { return m_stopped; }
    void Interrupt() override { m_interrupted = true; }

private:
    sqlite3_stmt* Prepare(const QString& sql) {
        const QByteArray text = sql.toUtf8();
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, text.constData(), int(text.size()), &stmt, nullptr) != SQLITE_OK)
            Fail(
                QStringLiteral("The document query failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
        return stmt;
    }

    int Step(sqlite3_stmt* stmt) {
        const int rc = sqlite3_step(stmt);
        if (m_pending) std::rethrow_exception(std::exchange(m_pending, nullptr));
        return rc;
    }

    // Runs inside sqlite3_step: an exception must not cross the C library, so it is
    // kept and raised again once the step has returned.
    static int Progress(void* self) {
        auto* reader = static_cast<SqliteReader*>(self);
        if (reader->m_interrupted) {
            reader->m_stopped = true;
            return 1;
        }
        if (!reader->m_heartbeat) return 0;
        try {
            if (reader->m_heartbeat()) return 0;
            reader->m_stopped = true;
        } catch (...) {
            reader->m_pending = std::current_exception();
        }
        return 1;
    }

    QString m_query;
    Heartbeat m_heartbeat;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
    bool m_stopped = false;
    std::atomic<bool> m_interrupted{false};
    std::exception_ptr m_pending;
};

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

// --- ODBC, through Qt SQL -----------------------------------------------------------

class OdbcReader final : public DocumentReader {
public:
    OdbcReader(const db::ConnectionText& ct, const QString& query)
        : m_query(query),
          m_name(QStringLiteral("zarvik-documents-") + QUuid::createUuid().toString(QUuid::Id128)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_name);
        db.setDatabaseName(ct.odbcText);
        if (!db.open()) {
            const QString why = db.lastError().text();
            Fail(QStringLiteral("Unable to open the document database: %1").arg(why));
        }
    }
    ~OdbcReader() override {
        {
            m_rows = QSqlQuery();
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }

    std::int64_t Count() override {
        QSqlQuery q(Db());
        q.setForwardOnly(true);
        if (!q.exec(CountQuery(m_query)) || !q.next())
            Fail(QStringLiteral("Counting the documents failed: %1").arg(q.lastError().text()));
        return q.value(0).toLongLong();
    }

    void Start() override {
        m_rows = QSqlQuery(Db());
        m_rows.setForwardOnly(true);
        if (!m_rows.exec(m_query))
            Fail(QStringLiteral("The document query failed: %1").arg(m_rows.lastError().text()));
        const QSqlRecord record = m_rows.record();
        for (int i = 0; i < record.count(); ++i) m_names << record.fieldName(i);
    }

    QStringList ColumnNames() const override { return m_names; }

    bool Read(Batch& batch, int maxRows, std::size_t maxBytes) override {
        const int columns = int(m_names.size());
        batch.columns = columns;
        while (batch.rows < maxRows && batch.bytes.size() < maxBytes) {
            if (!m_rows.next()) {
                if (m_rows.lastError().isValid())
                    Fail(QStringLiteral("Reading the documents failed: %1").arg(m_rows.lastError().text()));
                return false;
            }
            for (int c = 0; c < columns; ++c) Add(batch, m_rows.value(c));
            ++batch.rows;
        }
        return true;
    }

    bool Stopped() const override { return false; }
    // The ODBC driver gives no way to stop a statement from another thread; the
    // read stops at the next batch.
    void Interrupt() override {}

private:
    static void Add(Batch& batch, const QVariant& v) {
        if (v.isNull()) return batch.AddNull();
        switch (v.typeId()) {
            case QMetaType::Int:
            case QMetaType::LongLong:
            case QMetaType::Short:
            case QMetaType::UInt:
            case QMetaType::UShort:
            case QMetaType::Bool:
                return batch.AddInteger(v.toLongLong());
            case QMetaType::Double:
            case QMetaType::Float:
                return batch.AddFloat(v.toDouble());
            case QMetaType::QByteArray: {
                const QByteArray b = v.toByteArray();
                return batch.AddBytes(Value::Type::kBlob, b.constData(), std::size_t(b.size()));
            }
            default: {
                const QByteArray t = v.toString().toUtf8();
                return batch.AddBytes(Value::Type::kText, t.constData(), std::size_t(t.size()));
            }
        }
    }

    QSqlDatabase Db() const { return QSqlDatabase::database(m_name, false); }

    QString m_query;
    QString m_name;
    QSqlQuery m_rows;
    QStringList m_names;
};

}  // namespace

Source ResolveSource(const QString& connectionText, const QString& query) {
    if (connectionText.trimmed().isEmpty()) Fail(QStringLiteral("The connection text is empty."));
    Source source;
    // One reading of connection texts for the whole library, so a value the
    // data-source lookup wrapped in braces reads back the same here.
    source.connection = db::ParseConnectionText(connectionText);
    source.query = TrimQuery(query);
    if (source.query.isEmpty()) Fail(QStringLiteral("The document query is empty."));
    if (source.connection.provider == db::Provider::SQLite) {
        source.path = source.connection.Value(QStringLiteral("database"));
        if (source.path.isEmpty()) Fail(QStringLiteral("The connection text names no database."));
        if (QFileInfo(source.path).isRelative() && QCoreApplication::instance())
            source.path = QDir(QCoreApplication::applicationDirPath()).filePath(source.path);
    }
    return source;
}

std::unique_ptr<DocumentReader> OpenDocuments(const Source& source, Heartbeat heartbeat) {
    switch (source.connection.provider) {
        case db::Provider::SQLite:
            return std::make_unique<SqliteReader>(source.path, source.query, std::move(heartbeat));
        case db::Provider::PostgreSQL:
            return std::make_unique<PgReader>(source.connection, source.query);
        case db::Provider::ODBC:
            break;
    }
    return std::make_unique<OdbcReader>(source.connection, source.query);
}

// --- the reader thread -----------------------------------------------------------------

struct ReadAhead::Shared {
    std::mutex mutex;
    std::condition_variable changed;  // for both sides: something was queued or taken, or a stop
    bool stop = false;
    bool haveTotal = false;
    std::int64_t total = -1;
    bool haveColumns = false;
    QStringList columns;
    std::deque<Batch> queue;
    std::vector<Batch> spare;  // storage the writer is done with, for the reader to reuse
    bool ended = false;
    std::exception_ptr error;
    DocumentReader* reader = nullptr;  // set while the reader exists, for Stop() to interrupt it
};

namespace {

// What the reader thread runs; its reader is made, used and destroyed on that thread.
void ReadDocuments(std::shared_ptr<ReadAhead::Shared> shared, Source source, ReadAhead::Limits limits) {
    auto& s = *shared;
    const auto stopped = [&s] {
        std::lock_guard lock(s.mutex);
        return s.stop;
    };
    try {
        std::unique_ptr<DocumentReader> reader = OpenDocuments(source, [&stopped] { return !stopped(); });
        {
            std::lock_guard lock(s.mutex);
            s.reader = reader.get();
            if (s.stop) reader->Interrupt();
        }
        struct Unregister {
            ReadAhead::Shared& s;
            ~Unregister() {
                std::lock_guard lock(s.mutex);
                s.reader = nullptr;
            }
        } unregister{s};
        const std::int64_t total = stopped() ? -1 : reader->Count();
        {
            std::lock_guard lock(s.mutex);
            s.total = total;
            s.haveTotal = true;
        }
        s.changed.notify_all();
        if (total < 0 || stopped()) return;
        reader->Start();
        {
            std::lock_guard lock(s.mutex);
            s.columns = reader->ColumnNames();
            s.haveColumns = true;
        }
        s.changed.notify_all();
        for (;;) {
            Batch batch;
            {
                std::lock_guard lock(s.mutex);
                if (!s.spare.empty()) {
                    batch = std::move(s.spare.back());
                    s.spare.pop_back();
                }
            }
            batch.Clear();
            const bool more = reader->Read(batch, limits.batchRows, limits.batchBytes);
            {
                std::unique_lock lock(s.mutex);
                s.changed.wait(lock, [&] { return s.stop || s.queue.size() < limits.queuedBatches; });
                if (s.stop) return;
                if (batch.rows > 0) s.queue.push_back(std::move(batch));
                if (!more) s.ended = !reader->Stopped();
            }
            s.changed.notify_all();
            if (!more) return;
        }
    } catch (const component::Error&) {
        std::lock_guard lock(s.mutex);
        s.error = std::current_exception();
    } catch (const std::exception& e) {
        std::lock_guard lock(s.mutex);
        s.error = std::make_exception_ptr(component::Error(
            component::errnum::kDatabase, kSource,
            QStringLiteral("Reading the documents failed: %1").arg(QString::fromLocal8Bit(e.what()))));
    } catch (...) {
        std::lock_guard lock(s.mutex);
        s.error = std::make_exception_ptr(component::Error(component::errnum::kDatabase, kSource,
                                                           QStringLiteral("Reading the documents failed.")));
    }
    s.changed.notify_all();
}

}  // namespace

ReadAhead::ReadAhead(Source source, Limits limits) : m_shared(std::make_shared<Shared>()) {
    if (limits.queuedBatches < 1) limits.queuedBatches = 1;
    if (limits.batchRows < 1) limits.batchRows = 1;
    m_thread = std::thread(ReadDocuments, m_shared, std::move(source), limits);
}

ReadAhead::~ReadAhead() {
    Stop();
}

void ReadAhead::Stop() {
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stop = true;
        if (m_shared->reader) m_shared->reader->Interrupt();
    }
    m_shared->changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

bool ReadAhead::Total(std::int64_t& total, std::chrono::milliseconds wait) {
    std::unique_lock lock(m_shared->mutex);
    auto& s = *m_shared;
    s.changed.wait_for(lock, wait, [&] { return s.haveTotal || s.error; });
    if (s.error) std::rethrow_exception(s.error);
    if (!s.haveTotal) return false;
    total = s.total;
    return true;
}

bool ReadAhead::Columns(QStringList& names, std::chrono::milliseconds wait) {
    std::unique_lock lock(m_shared->mutex);
    auto& s = *m_shared;
    s.changed.wait_for(lock, wait, [&] { return s.haveColumns || s.error; });
    if (s.error) std::rethrow_exception(s.error);
    if (!s.haveColumns) return false;
    names = s.columns;
    return true;
}

ReadAhead::Next ReadAhead::Take(Batch& batch, std::chrono::milliseconds wait) {
    auto& s = *m_shared;
    {
        std::unique_lock lock(s.mutex);
        s.changed.wait_for(lock, wait, [&] { return !s.queue.empty() || s.ended || s.error; });
        // A failed read fails the build, so the rows still queued are not worth writing.
        if (s.error) std::rethrow_exception(s.error);
        if (s.queue.empty()) return s.ended ? Next::kEnd : Next::kWait;
        if (batch.values.capacity() > 0) s.spare.push_back(std::move(batch));
        batch = std::move(s.queue.front());
        s.queue.pop_front();
    }
    s.changed.notify_all();
    return Next::kBatch;
}

}  // namespace zarvik::docsource
