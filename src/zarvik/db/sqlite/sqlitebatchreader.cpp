// The index build's reading of an SQLite database, straight from the connection's handle.
#include <sqlite3.h>

#include <atomic>
#include <exception>

#include "zarvik/db/batchreader.h"
#include "zarvik/db/database_p.h"
#include "zarvik/db/sqlite/sqlitebackend.h"

namespace zarvik::db {
namespace {

QString ErrorOf(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

// Each value is copied once, from SQLite's own buffer into the batch, with the type
// SQLite gives it; the row stream of the program's queries would make a QVariant of each.
void AddValue(Batch& batch, sqlite3_stmt* stmt, int c) {
    switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_INTEGER:
            return batch.AddInteger(sqlite3_column_int64(stmt, c));
        case SQLITE_FLOAT:
            return batch.AddFloat(sqlite3_column_double(stmt, c));
        case SQLITE_NULL:
            return batch.AddNull();
        case SQLITE_BLOB: {
            const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, c));
            return batch.AddBytes(Value::Type::kBlob, blob, std::size_t(sqlite3_column_bytes(stmt, c)));
        }
        default: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
            return batch.AddBytes(Value::Type::kText, text, std::size_t(sqlite3_column_bytes(stmt, c)));
        }
    }
}

class SqliteBatchReader final : public BatchReader {
public:
    SqliteBatchReader(sqlite3* db, const QString& query, Heartbeat heartbeat)
        : m_db(db), m_query(query), m_heartbeat(std::move(heartbeat)) {
        // The connection's temporary storage in memory suits the program's own small
        // statements; a document query that sorts a large table spills to a file
        // instead, so that memory stays flat. The connection ends with the reader.
        sqlite3_exec(m_db, "PRAGMA temp_store=DEFAULT", nullptr, nullptr, nullptr);
        sqlite3_progress_handler(m_db, 2000, &SqliteBatchReader::Progress, this);
    }
    ~SqliteBatchReader() override {
        sqlite3_finalize(m_stmt);
        sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    }
    SqliteBatchReader(const SqliteBatchReader&) = delete;
    SqliteBatchReader& operator=(const SqliteBatchReader&) = delete;

    std::int64_t Count() override {
        sqlite3_stmt* stmt = Prepare(CountQuery(m_query));
        const int rc = Step(stmt);
        const std::int64_t n = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        if (rc == SQLITE_ROW) return n;
        if (m_stopped) return -1;
        ThrowDatabaseError(QStringLiteral("Counting the documents failed: ") + ErrorOf(m_db));
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
        while (!batch.Full(maxRows, maxBytes)) {
            const int rc = Step(m_stmt);
            if (rc != SQLITE_ROW) {
                if (rc == SQLITE_DONE || m_stopped) return false;
                ThrowDatabaseError(QStringLiteral("Reading the documents failed: ") + ErrorOf(m_db));
            }
            for (int c = 0; c < columns; ++c) AddValue(batch, m_stmt, c);
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
            ThrowDatabaseError(QStringLiteral("The document query failed: ") + ErrorOf(m_db));
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
        auto* reader = static_cast<SqliteBatchReader*>(self);
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

    sqlite3* m_db;
    QString m_query;
    Heartbeat m_heartbeat;
    sqlite3_stmt* m_stmt = nullptr;
    bool m_stopped = false;
    std::atomic<bool> m_interrupted{false};
    std::exception_ptr m_pending;
};

}  // namespace

std::unique_ptr<BatchReader> SqliteBackend::NewBatchReader(const QString& query, Heartbeat heartbeat) {
    return std::make_unique<SqliteBatchReader>(m_handle.get(), query, std::move(heartbeat));
}

}  // namespace zarvik::db
