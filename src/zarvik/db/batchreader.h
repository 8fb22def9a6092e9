// The rows of one long query in batches of plain values, for the index build: each
// backend reads them on its own connection in the fastest way it has, and the builder
// binds the values as they come.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zarvik/db/connectiontext.h"

namespace zarvik::db {

// Called now and then while the database works on a long statement; returning false
// asks the database to stop it (the reader then raises nothing, and Read() or Count()
// report the stop by returning false / -1).
using Heartbeat = std::function<bool()>;

// One value of a row, as the index builder binds it. Text and blobs are `size` bytes
// at `offset` in the bytes of their batch.
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
    // Whether the batch has reached either bound.
    bool Full(int maxRows, std::size_t maxBytes) const { return rows >= maxRows || bytes.size() >= maxBytes; }
};

// The query is taken as written, in the database's own dialect: it is the
// configuration's, not the program's. A reader belongs to the thread that opened it.
class BatchReader {
public:
    virtual ~BatchReader() = default;
    // Number of rows the query returns; -1 when the count was stopped.
    // Raises component::Error(kDatabase) when the count fails.
    virtual std::int64_t Count() = 0;
    // Starts the query. Raises component::Error(kDatabase) when it fails.
    virtual void Start() = 0;
    // The query's column names, valid after Start().
    virtual QStringList ColumnNames() const = 0;
    // Appends rows to `batch` until it is Full(maxRows, maxBytes); false when the rows
    // have ended or the read was stopped (Stopped() tells which).
    // Raises component::Error(kDatabase) when reading fails.
    virtual bool Read(Batch& batch, int maxRows, std::size_t maxBytes) = 0;
    // True when the read or the count ended because it was asked to stop.
    virtual bool Stopped() const = 0;
    // Asks a statement that runs on another thread to end soon; any thread may call it.
    virtual void Interrupt() = 0;
};

// "SELECT COUNT(*)" over a query, as every backend's Count runs it.
inline QString CountQuery(const QString& query) {
    return QStringLiteral("SELECT COUNT(*) FROM (%1) AS lumora_documents").arg(query);
}

// A reader of `query` on a connection of its own, opened as OpenBackend opens one; the
// connection ends with the reader. Raises component::Error (errnum::kDatabase) when
// the database cannot be opened.
std::unique_ptr<BatchReader> OpenBatchReader(const ConnectionText& text, const QString& query,
                                             Heartbeat heartbeat);

}  // namespace zarvik::db
