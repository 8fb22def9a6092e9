// The reader thread: reads the documents ahead of the index builder.
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

#include "component/error.h"
#include "zarvik/index/documentsource.h"

namespace zarvik::index {

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
    db::BatchReader* reader = nullptr;  // set while the reader exists, for Stop() to interrupt it
};

namespace {

const QString kSource = QStringLiteral("ZarvikIndexing.IndexBuilder");

// Reads batches into the queue until the reader ends or the build stops, waiting
// while the queue is full; batches come back from the spares to save allocations.
void QueueBatches(ReadAhead::Shared& s, db::BatchReader& reader, const ReadAhead::Limits& limits) {
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
        const bool more = reader.Read(batch, limits.batchRows, limits.batchBytes);
        {
            std::unique_lock lock(s.mutex);
            s.changed.wait(lock, [&] { return s.stop || s.queue.size() < limits.queuedBatches; });
            if (s.stop) return;
            if (batch.rows > 0) s.queue.push_back(std::move(batch));
            if (!more) s.ended = !reader.Stopped();
        }
        s.changed.notify_all();
        if (!more) return;
    }
}

// What the reader thread runs; its reader is made, used and destroyed on that thread.
void ReadDocuments(const std::shared_ptr<ReadAhead::Shared>& shared, const Source& source,
                   const ReadAhead::Limits& limits) {
    auto& s = *shared;
    const auto stopped = [&s] {
        std::lock_guard lock(s.mutex);
        return s.stop;
    };
    try {
        std::unique_ptr<db::BatchReader> reader =
            db::OpenBatchReader(source.connection, source.query, [&stopped] { return !stopped(); });
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
        QueueBatches(s, *reader, limits);
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

}  // namespace zarvik::index
