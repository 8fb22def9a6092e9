// Reads the rows of a document query for the index builder through the database
// layer's batch readers, on a thread of its own, so that memory does not grow with the
// number of rows and the writer never waits for the database while rows are queued.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "zarvik/db/batchreader.h"
#include "zarvik/db/connectiontext.h"

namespace zarvik::index {

using db::Batch;
using db::Value;

// Where the documents come from, worked out on the thread that starts the build.
struct Source {
    db::ConnectionText connection;
    QString query;  // without a trailing ';'
};
// The connection text as the data layer reads it (a relative SQLite file was anchored
// where the configuration was read) and the query without its trailing ';'. Raises
// component::Error(kDatabase) for an empty text or query, and for a text
// db::ParseConnectionText refuses.
Source ResolveSource(const QString& connectionText, const QString& query);

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
