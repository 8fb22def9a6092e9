// Streams the rows of a document query from SQLite, PostgreSQL or ODBC for the index
// builder, a batch of rows at a time, so that memory does not grow with the number of rows.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zarvik/db/connectiontext.h"

namespace zarvik::index {

// Called now and then while the database works on a long statement; returning false
// asks the database to stop it (the reader then raises nothing and Read() or Count()
// report the stop by returning false / -1).
using Heartbeat = std::function<bool()>;

// One value of a document row, as the index builder binds it. Text and blobs are
// `size` bytes at `offset` in the bytes of their batch.
struct Value {
    enum class Type : std::uint8_t { kNull, kInteger, kFloat, kText, kBlob };
    Type type = Type::kNull;
    std::int64_t integer = 0;
    double real = 0;
    std::size_t offset = 0;
    std::size_t size = 0;
};

// Rows read ahead of the writer: `columns` values a row, row after row.
struct Batch {
    int columns = 0;
    int rows = 0;
    std::vector<Value> values;
    std::string bytes;

    void Clear() {
        rows = 0;
        values.clear();
        bytes.clear();
    }
    const Value& At(int row, int column) const { return values[std::size_t(row) * columns + column]; }
    const char* Data(const Value& v) const { return bytes.data() + v.offset; }
    void AddNull() { values.push_back(Value{}); }
    void AddInteger(std::int64_t i) { values.push_back(Value{Value::Type::kInteger, i, 0, 0, 0}); }
    void AddFloat(double d) { values.push_back(Value{Value::Type::kFloat, 0, d, 0, 0}); }
    void AddBytes(Value::Type type, const char* data, std::size_t size) {
        values.push_back(Value{type, 0, 0, bytes.size(), size});
        bytes.append(data, size);
    }
};

class DocumentReader {
public:
    virtual ~DocumentReader() = default;
    // Number of rows the query returns; -1 when the count was stopped.
    // Raises component::Error(kDatabase) when the count fails.
    virtual std::int64_t Count() = 0;
    // Starts the query. Raises component::Error(kDatabase) when it fails.
    virtual void Start() = 0;
    // The query's column names, valid after Start().
    virtual QStringList ColumnNames() const = 0;
    // Appends rows to `batch` until it holds `maxRows` rows or `maxBytes` bytes; false
    // when the rows have ended or the read was stopped (Stopped() tells which).
    // Raises component::Error(kDatabase) when reading fails.
    virtual bool Read(Batch& batch, int maxRows, std::size_t maxBytes) = 0;
    // True when the read or the count ended because it was asked to stop.
    virtual bool Stopped() const = 0;
    // Asks a statement that runs on another thread to end soon; any thread may call it.
    virtual void Interrupt() = 0;
};

// Where the documents come from, worked out on the thread that starts the build.
struct Source {
    db::ConnectionText connection;
    QString path;   // SQLite: the absolute file
    QString query;  // without a trailing ';'
};
// Relative SQLite paths are taken from the program's folder, where the configuration
// file lives. Raises component::Error(kDatabase) for an empty text or query, and for a
// text db::ParseConnectionText refuses.
Source ResolveSource(const QString& connectionText, const QString& query);

// Opens the database behind the source read-only. The reader belongs to the thread
// that opened it. Raises component::Error(kDatabase) when it cannot be opened.
std::unique_ptr<DocumentReader> OpenDocuments(const Source& source, Heartbeat heartbeat);

// Reads the documents on a thread of its own while the caller writes the index: the
// reader opens the database, counts, and hands over batches through a queue of a few
// batches, so that memory stays flat however far the writer falls behind. Every call
// waits at most `wait`, so that the caller can keep its dialog alive and honour a
// stop in between. An error of the reader thread is raised by the next call, as the
// component::Error it was (other failures become one of kDatabase).
class ReadAhead {
public:
    struct Limits {
        int batchRows = 256;
        std::size_t batchBytes = std::size_t{256} * 1024;
        std::size_t queuedBatches = 4;
    };
    // Starts the reader thread.
    ReadAhead(Source source, Limits limits);
    // Stops the reader thread and waits for it.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The number of documents: false while the count runs; `total` -1 when it was stopped.
    bool Total(std::int64_t& total, std::chrono::milliseconds wait);
    // The column names, once the query has started: false until then.
    bool Columns(QStringList& names, std::chrono::milliseconds wait);
    enum class Next { kBatch, kEnd, kWait };
    // kBatch: `batch` holds the next rows (its former storage goes back to the reader);
    // kEnd: every row has been handed over; kWait: none came within `wait`.
    Next Take(Batch& batch, std::chrono::milliseconds wait);
    // Asks the reader to stop, interrupts a statement it runs, and waits for the
    // thread to end. Safe to call more than once.
    void Stop();

    // What both threads share; known only to documentsource.cpp.
    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

}  // namespace zarvik::index
