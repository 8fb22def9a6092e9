// Reads the documents of a SQLite database through the C API.
#include "zarvik/index/documentreaders.h"

#include <sqlite3.h>

#include <QFileInfo>
#include <atomic>
#include <cstdlib>

namespace zarvik::index {
namespace {

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


}  // namespace

std::unique_ptr<DocumentReader> OpenSqliteDocuments(const QString& path, const QString& query, Heartbeat heartbeat) {
    return std::make_unique<SqliteReader>(path, query, std::move(heartbeat));
}

}  // namespace zarvik::index
