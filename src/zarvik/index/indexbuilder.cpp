// IndexBuilder: builds one SQLite FTS5 index from a document query.
#include "zarvik/index/indexbuilder.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>

#include "zarvik/files/durablefile.h"
#include "zarvik/index/documentsource.h"
#include "zarvik/index/verification.h"
#include "zarvik/index/indexlog.h"

namespace zarvik::index {
namespace {

using component::Error;
namespace errnum = component::errnum;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const QString kSource = QStringLiteral("ZarvikIndexing.IndexBuilder");
const QString kDefaultTokenizer = QStringLiteral("porter unicode61 remove_diacritics 2");
constexpr std::int64_t kStatusEveryDocuments = 1000;
constexpr milliseconds kStatusEvery{250};
// Half the promised 50 ms, so that one slow row does not break the promise.
constexpr milliseconds kEventsEvery{25};

// How long the writer waits for the reader thread before it looks after the dialog.
constexpr milliseconds kWaitForReader{10};

// While the staging file is filled: larger in-memory segments and no merging as they
// are written, because 'optimize' merges them all into one at the end anyway.
const char* const kBulkMerging[] = {
    "INSERT INTO documents(documents, rank) VALUES('hashsize', 8388608)",
    "INSERT INTO documents(documents, rank) VALUES('automerge', 0)",
    nullptr,
};
// SQLite's defaults, kept in the finished index.
const char* const kSettledMerging[] = {
    "INSERT INTO documents(documents, rank) VALUES('hashsize', 1048576)",
    "INSERT INTO documents(documents, rank) VALUES('automerge', 4)",
    nullptr,
};

[[noreturn]] void Fail(const QString& message) {
    throw Error(errnum::kIndexBuild, kSource, message);
}

QString SqlString(QString text) {
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\'');
}
QString SqlName(QString name) {
    return QLatin1Char('"') + name.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

// One build of an index at a time, across processes. flock() is released by the
// kernel when its holder dies, so a killed build never leaves the index locked.
class IndexLock {
public:
    IndexLock(const QString& folder, const QString& indexName) {
        const QString path = folder + QStringLiteral("/index.lock");
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0)
            Fail(QStringLiteral("Unable to create the lock file %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(m_fd);
            if (err == EWOULDBLOCK)
                throw Error(
                    errnum::kIndexLocked, kSource,
                    QStringLiteral("The index \"%1\" is being built by another process at the moment (%2 is "
                                   "locked). Please try again when that build has ended.")
                        .arg(indexName, path));
            Fail(QStringLiteral("Unable to lock %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(err))));
        }
    }
    ~IndexLock() { ::close(m_fd); }
    IndexLock(const IndexLock&) = delete;
    IndexLock& operator=(const IndexLock&) = delete;

private:
    int m_fd = -1;
};

void RemoveStaging(const QString& staging) {
    QFile::remove(staging);
    QFile::remove(staging + QStringLiteral("-journal"));
}

// The number of documents of an existing index; empty when there is none or it
// cannot be read.
std::optional<std::int64_t> LiveDocuments(const QString& live) {
    if (!QFileInfo::exists(live)) return std::nullopt;
    sqlite3* db = nullptr;
    std::optional<std::int64_t> n;
    if (sqlite3_open_v2(QFile::encodeName(live).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM documents", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            n = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return n;
}

std::int32_t LiveCount(const QString& live) {
    return std::int32_t(std::min<std::int64_t>(LiveDocuments(live).value_or(0), INT32_MAX));
}

// Keeps the live index as the previous one without a moment in which there is no
// live index: a second name for the same file replaces the previous index, and only
// then may the new index be renamed over the live one. Returns the empty text on
// success, else the reason.
QString KeepPrevious(const QString& live, const QString& previous) {
    if (!QFileInfo::exists(live)) return {};
    const QString temporary = previous + QStringLiteral(".tmp");
    QFile::remove(temporary);
    if (::link(QFile::encodeName(live).constData(), QFile::encodeName(temporary).constData()) != 0) {
        // A file system without hard links: a copy does as well, only slower.
        if (!QFile::copy(live, temporary))
            return QStringLiteral("unable to copy %1 to %2").arg(live, temporary);
        if (const QString why = files::SyncToDisk(temporary); !why.isEmpty()) {
            QFile::remove(temporary);
            return why;
        }
    }
    if (const QString why = files::DurableRename(temporary, previous); !why.isEmpty()) {
        QFile::remove(temporary);
        return why;
    }
    // When the previous index already was the live one (a build killed between its two
    // renames), rename() of one name of a file over another does nothing and leaves the
    // temporary name; removing it leaves the file under its other names.
    QFile::remove(temporary);
    return {};
}

std::function<void(const QString&)>& StagingHook() {
    static std::function<void(const QString&)> hook;
    return hook;
}

}  // namespace

// The state of one call of Build: the staging database, the reader, the counters
// and the clock of the callbacks.
class Fts5IndexBuilder::Run {
public:
    Run(Fts5IndexBuilder& builder, QString staging) : m_builder(builder), m_staging(std::move(staging)) {}
    ~Run() { Close(); }
    // Lets go of the staging file so that it can be removed.
    void Close() {
        sqlite3_finalize(m_insert);
        m_insert = nullptr;
        if (m_db) sqlite3_close(m_db);
        m_db = nullptr;
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    std::int64_t Rows() const { return m_rows; }
    std::int64_t Total() const { return m_total; }

    // Fills the staging file; false when the build was stopped.
    bool Fill() {
        Status(QStringLiteral("Indexing: counting the documents"));
        // The documents are read on a second thread while this one writes the index;
        // leaving this function by any path stops that thread and waits for it.
        index::ReadAhead ahead(index::ResolveSource(m_builder.m_connectionText, m_builder.m_query), {});
        while (!ahead.Total(m_total, kWaitForReader))
            if (!Pump()) return false;
        if (m_total < 0 || m_builder.m_aborted) return false;
        AppendIndexLog(m_logPath, m_builder.m_indexName, QStringLiteral("started"),
                       QStringLiteral("%1 documents to index").arg(m_total));
        QStringList names;
        while (!ahead.Columns(names, kWaitForReader))
            if (!Pump()) return false;
        if (m_builder.m_aborted) return false;
        CreateIndex(names);

        m_start = Clock::now();
        m_lastStatus = m_start;
        Status(Progress(m_start));
        if (m_builder.m_aborted) return false;
        Exec("BEGIN");
        const int columns = int(names.size());
        index::Batch batch;
        for (;;) {
            const auto next = ahead.Take(batch, kWaitForReader);
            if (next == index::ReadAhead::Next::kEnd) break;
            if (next == index::ReadAhead::Next::kWait) {
                if (!Tick()) return false;
                continue;
            }
            if (batch.columns != columns) Fail(QStringLiteral("The document reader lost its columns."));
            for (int r = 0; r < batch.rows; ++r) {
                for (int c = 0; c < columns; ++c) {
                    if (Bind(batch, batch.At(r, c), c + 1) != SQLITE_OK) Fail(WriteError());
                }
                const int rc = sqlite3_step(m_insert);
                sqlite3_reset(m_insert);
                if (rc != SQLITE_DONE) Fail(WriteError());
                ++m_rows;
                if (!Tick()) return false;
            }
        }
        ahead.Stop();
        if (m_builder.m_aborted) return false;
        Status(Progress(Clock::now()));

        WriteInfo(names);
        if (!RunUntilDone("COMMIT")) return false;
        Status(QStringLiteral("Indexing: optimizing the index of %1 documents").arg(m_rows));
        if (!RunUntilDone("INSERT INTO documents(documents) VALUES('optimize')")) return false;
        // The finished index keeps SQLite's own merge settings, for whoever adds to it later.
        Tune(kSettledMerging);
        // Readers of the finished index open it read-only and need no -wal or -shm files.
        Exec("PRAGMA journal_mode=DELETE");
        sqlite3_finalize(m_insert);
        m_insert = nullptr;
        if (sqlite3_close(m_db) != SQLITE_OK) Fail(QStringLiteral("Unable to close the new index."));
        m_db = nullptr;
        return !m_builder.m_aborted;
    }

    void Status(const QString& text) {
        if (!m_builder.m_statusHandler) return;
        m_builder.m_statusHandler->UpdateStatus(text);
    }

private:
    // The batch lives until the next Take, after the insert that uses its bytes.
    int Bind(const index::Batch& batch, const index::Value& v, int parameter) {
        using Type = index::Value::Type;
        switch (v.type) {
            case Type::kInteger:
                return sqlite3_bind_int64(m_insert, parameter, v.integer);
            case Type::kFloat:
                return sqlite3_bind_double(m_insert, parameter, v.real);
            case Type::kText:
                return sqlite3_bind_text64(m_insert, parameter, batch.Data(v), v.size, SQLITE_STATIC,
                                           SQLITE_UTF8);
            case Type::kBlob:
                return sqlite3_bind_blob64(m_insert, parameter, batch.Data(v), v.size, SQLITE_STATIC);
            case Type::kNull:
                break;
        }
        return sqlite3_bind_null(m_insert, parameter);
    }

    // FTS5 settings that change how the index is written, not what it holds. Older
    // SQLite versions lack some of them; the build then goes on at their defaults.
    void Tune(const char* const* statements) {
        for (; *statements; ++statements) sqlite3_exec(m_db, *statements, nullptr, nullptr, nullptr);
    }

    void CreateIndex(const QStringList& names) {
        if (names.isEmpty()) Fail(QStringLiteral("The document query returns no columns."));
        QStringList stored;
        for (const QString& s : m_builder.m_storedColumns.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString name = s.trimmed();
            if (name.isEmpty()) continue;
            if (!names.mid(1).contains(name, Qt::CaseInsensitive) &&
                name.compare(names.first(), Qt::CaseInsensitive) != 0)
                Fail(QStringLiteral("The stored column \"%1\" is not a column of the document query.")
                         .arg(name));
            stored << name;
        }
        QStringList defs{QStringLiteral("key UNINDEXED")};
        QStringList insertColumns{QStringLiteral("key")};
        for (qsizetype i = 1; i < names.size(); ++i) {
            if (names[i].compare(QLatin1String("key"), Qt::CaseInsensitive) == 0)
                Fail(
                    QStringLiteral("The document query has a column named \"key\" after its first column; "
                                   "\"key\" is the name of the document key in the index."));
            defs << SqlName(names[i]) + (stored.contains(names[i], Qt::CaseInsensitive)
                                             ? QStringLiteral(" UNINDEXED")
                                             : QString());
            insertColumns << SqlName(names[i]);
        }
        const QString tokenizer = Tokenizer();
        defs << QStringLiteral("tokenize = ") + SqlString(tokenizer);
        if (!m_builder.m_prefix.trimmed().isEmpty())
            defs << QStringLiteral("prefix = ") + SqlString(m_builder.m_prefix.trimmed());

        RemoveStaging(m_staging);
        const QByteArray file = QFile::encodeName(m_staging);
        if (sqlite3_open_v2(file.constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK)
            Fail(QStringLiteral("Unable to create %1: %2")
                     .arg(m_staging, QString::fromUtf8(sqlite3_errmsg(m_db))));
        sqlite3_extended_result_codes(m_db, 1);
        // Nothing needs to survive a crash while the staging file is written: a
        // crashed build is thrown away, so journal and syncs would be wasted work.
        Exec("PRAGMA journal_mode=OFF");
        Exec("PRAGMA synchronous=OFF");
        // The FTS5 table buffers its terms itself and writes its segments in one
        // pass, so a large page cache would only add to the memory of the build.
        Exec("PRAGMA cache_size=-4096");
        Exec("PRAGMA temp_store=FILE");
        const QString create = QStringLiteral("CREATE VIRTUAL TABLE documents USING fts5(%1)")
                                   .arg(defs.join(QStringLiteral(", ")));
        char* message = nullptr;
        if (sqlite3_exec(m_db, create.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK) {
            const QString why = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
            sqlite3_free(message);
            Fail(QStringLiteral("SQLite refused the index settings (tokenizer \"%1\", prefix \"%2\"): %3")
                     .arg(tokenizer, m_builder.m_prefix, why));
        }
        Tune(kBulkMerging);
        Exec("CREATE TABLE index_info(name TEXT PRIMARY KEY, value TEXT)");
        QStringList marks;
        for (qsizetype i = 0; i < names.size(); ++i) marks << QStringLiteral("?");
        const QByteArray insert = QStringLiteral("INSERT INTO documents(%1) VALUES(%2)")
                                      .arg(insertColumns.join(QLatin1Char(',')), marks.join(QLatin1Char(',')))
                                      .toUtf8();
        if (sqlite3_prepare_v2(m_db, insert.constData(), -1, &m_insert, nullptr) != SQLITE_OK)
            Fail(WriteError());
    }

    QString Tokenizer() const {
        const QString t = m_builder.m_tokenizer.trimmed();
        return t.isEmpty() ? kDefaultTokenizer : t;
    }

    void WriteInfo(const QStringList& names) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, "INSERT INTO index_info(name, value) VALUES(?, ?)", -1, &stmt,
                               nullptr) != SQLITE_OK)
            Fail(WriteError());
        const QList<std::pair<const char*, QString>> info = {
            {"name", m_builder.m_indexName},
            {"built", QDateTime::currentDateTime()
                          .toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
                          .toString(Qt::ISODate)},
            {"documents", QString::number(m_rows)},
            {"query", m_builder.m_query},
            {"key", names.first()},
            {"tokenizer", Tokenizer()},
            {"prefix", m_builder.m_prefix.trimmed()},
            {"unindexed", m_builder.m_storedColumns},
            {"version", QStringLiteral(LUMORA_VERSION)},
            {"sqlite", QString::fromUtf8(sqlite3_libversion())},
        };
        for (const auto& [name, value] : info) {
            const QByteArray v = value.toUtf8();
            sqlite3_bind_text(stmt, 1, name, -1, SQLITE_STATIC);
            sqlite3_bind_text(stmt, 2, v.constData(), int(v.size()), SQLITE_TRANSIENT);
            const int rc = sqlite3_step(stmt);
            sqlite3_reset(stmt);
            if (rc != SQLITE_DONE) {
                sqlite3_finalize(stmt);
                Fail(WriteError());
            }
        }
        sqlite3_finalize(stmt);
    }

    QString WriteError() const {
        return QStringLiteral("Writing the index %1 failed: %2")
            .arg(m_staging, QString::fromUtf8(sqlite3_errmsg(m_db)));
    }

    void Exec(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const QString why = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
            sqlite3_free(message);
            Fail(QStringLiteral("Writing the index %1 failed: %2").arg(m_staging, why));
        }
    }

    // A statement that may take seconds (commit, optimize) keeps the dialog
    // responsive and can be stopped. False when it was stopped.
    bool RunUntilDone(const char* sql) {
        sqlite3_progress_handler(m_db, 1000, &Run::OnProgress, this);
        char* message = nullptr;
        const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
        sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
        const QString why = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
        sqlite3_free(message);
        if (m_pending) std::rethrow_exception(std::exchange(m_pending, nullptr));
        if (rc == SQLITE_OK) return true;
        if (m_builder.m_aborted) return false;
        Fail(QStringLiteral("Writing the index %1 failed: %2").arg(m_staging, why));
    }

    // An exception must not cross the C library; it is raised again after the statement.
    static int OnProgress(void* self) {
        auto* run = static_cast<Run*>(self);
        try {
            return run->Pump() ? 0 : 1;
        } catch (...) {
            run->m_pending = std::current_exception();
            return 1;
        }
    }

public:
    // Lets the dialog handle its events when it is due; false when the build is stopped.
    bool Pump(Clock::time_point now = Clock::now()) {
        if (now - m_lastEvents >= kEventsEvery) {
            m_lastEvents = now;
            if (m_builder.m_statusHandler) m_builder.m_statusHandler->ProcessEvents();
        }
        return !m_builder.m_aborted;
    }

private:
    // After each document: the status at its rate, the events at theirs.
    bool Tick() {
        const auto now = Clock::now();
        if (m_rows - m_statusRows >= kStatusEveryDocuments || now - m_lastStatus >= kStatusEvery)
            Status(Progress(now));
        return Pump(now);
    }

    QString Progress(Clock::time_point now) {
        m_lastStatus = now;
        m_statusRows = m_rows;
        const auto ms = std::chrono::duration_cast<milliseconds>(now - m_start).count();
        const std::int64_t rate = ms > 0 ? m_rows * 1000 / ms : 0;
        const std::int64_t percent = m_total > 0 ? std::min<std::int64_t>(100, m_rows * 100 / m_total) : 100;
        return QStringLiteral("Indexing: %1 of %2 documents (%3%), %4 documents/s")
            .arg(m_rows)
            .arg(m_total)
            .arg(percent)
            .arg(rate);
    }

public:
    QString m_logPath;

private:
    Fts5IndexBuilder& m_builder;
    QString m_staging;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insert = nullptr;
    std::int64_t m_rows = 0;
    std::int64_t m_total = 0;
    std::int64_t m_statusRows = 0;
    Clock::time_point m_start = Clock::now();
    Clock::time_point m_lastStatus = m_start;
    Clock::time_point m_lastEvents = m_start;
    std::exception_ptr m_pending;
};

void Fts5IndexBuilder::Configure(component::StatusHandler* statusHandler,
                                 std::shared_ptr<component::SearchEngine> engine, const QString& indexName,
                                 const QString& indexPath, const QString& resolvedSource,
                                 const QString& connection, const QString& indexSetting3,
                                 const QString& indexSetting2, const QString& indexSetting4,
                                 const QString& indexSetting1) {
    m_statusHandler = statusHandler;
    m_engine = std::move(engine);
    m_indexName = indexName;
    m_indexPath = indexPath;
    m_connectionText = resolvedSource.isEmpty() ? connection : resolvedSource;
    m_tokenizer = indexSetting3;
    m_storedColumns = indexSetting2;
    m_prefix = indexSetting4;
    m_query = indexSetting1;
}

void Fts5IndexBuilder::SetStagingHookForTests(std::function<void(const QString&)> hook) {
    StagingHook() = std::move(hook);
}

bool Fts5IndexBuilder::Build() {
    if (m_indexPath.trimmed().isEmpty())
        Fail(QStringLiteral("The index \"%1\" has no index path.").arg(m_indexName));
    const QString folder = QDir(m_indexPath).absolutePath();
    if (!QDir().mkpath(folder)) Fail(QStringLiteral("Unable to create the index folder %1.").arg(folder));
    const QString live = folder + QStringLiteral("/index.db");
    const QString staging = live + QStringLiteral(".staging");
    const QString previous = folder + QStringLiteral("/index.previous.db");
    const QString rejected = folder + QStringLiteral("/index.rejected.db");

    IndexLock lock(folder, m_indexName);
    // Left behind by a build that was killed; the lock says no build is using them.
    RemoveStaging(staging);
    QFile::remove(previous + QStringLiteral(".tmp"));
    const auto started = Clock::now();
    Run run(*this, staging);
    run.m_logPath = IndexLogPath(m_engine.get());
    bool complete = false;
    QString refusal;
    QString checkFigures;
    try {
        complete = run.Fill();
        if (complete && StagingHook()) StagingHook()(staging);
        if (complete) {
            run.Status(QStringLiteral("Indexing: checking the new index of %1 documents").arg(run.Rows()));
            IndexVerification checks(staging, run.Rows(), LiveDocuments(live), m_verify,
                                 [&run] { return run.Pump(); });
            const auto outcome = checks.Run();
            if (outcome == IndexVerification::Outcome::kStopped) {
                complete = false;
            } else if (outcome == IndexVerification::Outcome::kRefused) {
                refusal = checks.Refusal();
            } else {
                if (const QString why = checks.Record(); !why.isEmpty())
                    Fail(QStringLiteral("Writing the index %1 failed: %2").arg(staging, why));
                QStringList figures;
                for (const auto& [name, value] : checks.Figures())
                    figures << name + QStringLiteral(": ") + value;
                checkFigures = figures.join(QStringLiteral("; "));
            }
        }
        if (complete && refusal.isEmpty()) {
            if (const QString why = files::SyncToDisk(staging); !why.isEmpty())
                Fail(QStringLiteral("Unable to write %1 to disk: %2").arg(staging, why));
            if (const QString why = KeepPrevious(live, previous); !why.isEmpty())
                Fail(QStringLiteral("Unable to keep %1 as %2: %3").arg(live, previous, why));
            if (const QString why = files::DurableRename(staging, live); !why.isEmpty())
                Fail(QStringLiteral("Unable to put the new index in place of %1: %2").arg(live, why));
        }
    } catch (...) {
        run.Close();
        RemoveStaging(staging);
        m_documentCount = LiveCount(live);
        QString why = QStringLiteral("unexpected failure");
        try {
            throw;
        } catch (const Error& e) {
            why = e.Description();
        } catch (const std::exception& e) {
            why = QString::fromLocal8Bit(e.what());
        } catch (...) {
        }
        AppendIndexLog(run.m_logPath, m_indexName, QStringLiteral("failed"),
                       QStringLiteral("after %1 documents: %2").arg(run.Rows()).arg(why));
        try {
            run.Status(QStringLiteral("Indexing failed after %1 documents").arg(run.Rows()));
        } catch (...) {
            // The build's own error is the one to report.
        }
        throw;
    }
    if (!complete) {
        run.Close();
        RemoveStaging(staging);
        m_documentCount = LiveCount(live);
        AppendIndexLog(run.m_logPath, m_indexName, QStringLiteral("aborted"),
                       QStringLiteral("after %1 of %2 documents").arg(run.Rows()).arg(run.Total()));
        run.Status(QStringLiteral("Indexing aborted after %1 documents").arg(run.Rows()));
        return false;
    }
    if (!refusal.isEmpty()) {
        // The refused file stays beside the live one for the administrator to look
        // into; one such file, the latest refusal.
        QFile::remove(staging + QStringLiteral("-journal"));
        QString kept = rejected;
        if (const QString why = files::DurableRename(staging, rejected); !why.isEmpty()) {
            RemoveStaging(staging);
            kept = QStringLiteral("not kept (%1)").arg(why);
        }
        m_documentCount = LiveCount(live);
        AppendIndexLog(run.m_logPath, m_indexName, QStringLiteral("refused"),
                       QStringLiteral("%1 Refused index: %2").arg(refusal, kept));
        run.Status(
            QStringLiteral("Indexing refused: the new index of %1 documents failed a check").arg(run.Rows()));
        throw Error(errnum::kIndexRefused, kSource, refusal);
    }
    m_documentCount = std::int32_t(std::min<std::int64_t>(run.Rows(), INT32_MAX));
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    AppendIndexLog(
        run.m_logPath, m_indexName, QStringLiteral("finished"),
        QStringLiteral("%1 documents in %2 s; %3").arg(run.Rows()).arg(seconds, 0, 'f', 1).arg(checkFigures));
    run.Status(QStringLiteral("Indexing finished: %1 documents").arg(run.Rows()));
    return true;
}

}  // namespace zarvik::index
