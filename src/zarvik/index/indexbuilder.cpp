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
#include <QHash>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <unordered_set>
#include <vector>

#include "zarvik/files/durablefile.h"
#include "zarvik/index/digests.h"
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
// A build of the changes merges at most this many pages, so that the pages it leaves
// alone stay as they were; SQLite's automerge keeps the segments few over many builds.
const char* const kBoundedMerge = "INSERT INTO documents(documents, rank) VALUES('merge', 500)";
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

// The name/value pairs of an index's index_info; empty when it cannot be read.
std::optional<QHash<QString, QString>> ReadIndexInfo(const QString& file) {
    sqlite3* db = nullptr;
    std::optional<QHash<QString, QString>> info;
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT name, value FROM index_info", -1, &stmt, nullptr) == SQLITE_OK) {
            info.emplace();
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
                info->insert(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))),
                             QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1))));
            if (rc != SQLITE_DONE) info.reset();
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return info;
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
    Run(Fts5IndexBuilder& builder, QString live, QString staging)
        : m_builder(builder), m_live(std::move(live)), m_staging(std::move(staging)) {}
    ~Run() { Close(); }
    // Lets go of the staging file so that it can be removed.
    void Close() {
        m_digests.reset();
        sqlite3_finalize(m_insert);
        m_insert = nullptr;
        if (m_db) sqlite3_close(m_db);
        m_db = nullptr;
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    std::int64_t Rows() const { return m_rows; }
    std::int64_t Total() const { return m_total; }

    // Fills the staging file; false when the build was stopped. An index in the mode
    // "changes" applies only the changes to a copy of the live index when it can, and
    // else builds in full with the reason in Report().
    bool Fill() {
        if (m_builder.m_buildMode.mode != component::BuildMode::Changes) return FillFull();
        m_fullBuildReason = LiveIndexUnusable();
        if (m_fullBuildReason.isEmpty()) {
            const Applied applied = FillChanges();
            if (applied != Applied::kFallBack) return applied == Applied::kDone;
            StartAgain();
        }
        Status(QStringLiteral("Indexing: building in full because %1").arg(m_fullBuildReason));
        return FillFull();
    }

    component::BuildReport Report() const {
        const bool applied = m_builder.m_buildMode.mode == component::BuildMode::Changes && m_fullBuildReason.isEmpty();
        return {applied ? component::BuildMode::Changes : component::BuildMode::Full, m_fullBuildReason, m_added,
                m_replaced, m_deleted};
    }
    // "changes: 3 added, 1 replaced, 0 deleted" or "full", for the log.
    QString ModeSummary() const {
        if (m_builder.m_buildMode.mode != component::BuildMode::Changes) return QStringLiteral("full");
        if (!m_fullBuildReason.isEmpty()) return QStringLiteral("full because %1").arg(m_fullBuildReason);
        return QStringLiteral("changes: %1 added, %2 replaced, %3 deleted")
            .arg(m_added)
            .arg(m_replaced)
            .arg(m_deleted);
    }

private:
    enum class Applied { kDone, kStopped, kFallBack };

    // Waits for the count and the columns of the reader; false when stopped.
    bool StartReading(index::ReadAhead& ahead, QStringList& names) {
        Status(QStringLiteral("Indexing: counting the documents"));
        while (!ahead.Total(m_total, kWaitForReader))
            if (!Pump()) return false;
        if (m_total < 0 || m_builder.m_aborted) return false;
        AppendIndexLog(m_logPath, m_builder.m_indexName, QStringLiteral("started"),
                       QStringLiteral("%1 documents to index").arg(m_total));
        while (!ahead.Columns(names, kWaitForReader))
            if (!Pump()) return false;
        return !m_builder.m_aborted;
    }

    // Hands each row read to `row`, which returns false to end the reading early; false
    // when the build was stopped or `row` ended it.
    template <typename PerRow>
    bool ForEachRow(index::ReadAhead& ahead, int columns, PerRow row) {
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
                if (!row(batch, r)) return false;
                ++m_rows;
                if (!Tick()) return false;
            }
        }
        ahead.Stop();
        return !m_builder.m_aborted;
    }

    bool FillFull() {
        index::ReadAhead ahead(index::ResolveSource(m_builder.m_connectionText, m_builder.m_query), {});
        QStringList names;
        if (!StartReading(ahead, names)) return false;
        CreateIndex(names);
        const bool keepDigests = m_builder.m_buildMode.mode == component::BuildMode::Changes;
        if (keepDigests) {
            index::DigestTable::Create(m_db, m_staging);
            m_digests = std::make_unique<index::DigestTable>(m_db, m_staging);
        }
        if (!BeginWriting()) return false;
        std::string scratch;
        const bool read = ForEachRow(ahead, int(names.size()), [&](const index::Batch& batch, int r) {
            Insert(batch, r, std::nullopt);
            if (m_digests) KeepDigest(batch, r, scratch);
            return true;
        });
        if (!read) return false;
        m_added = m_rows;
        if (keepDigests && !m_digestsLost.isEmpty()) DropDigests();
        return Finish(names, QStringLiteral("Indexing: optimizing the index of %1 documents").arg(m_rows),
                      "INSERT INTO documents(documents) VALUES('optimize')");
    }

    // A full build keeps a digest of each document, unless a key is NULL or read twice:
    // then the index gets none and the next build of the changes builds in full again.
    void KeepDigest(const index::Batch& batch, int r, std::string& scratch) {
        if (!m_digestsLost.isEmpty()) return;
        if (batch.At(r, 0).type == index::Value::Type::kNull) {
            m_digestsLost = QStringLiteral("a document key is NULL");
            return;
        }
        const auto digest = index::DigestOfRow(batch, r, scratch);
        if (!m_digests->Add(batch, r, sqlite3_last_insert_rowid(m_db), digest))
            m_digestsLost = QStringLiteral("the key %1 was read twice").arg(KeyText(batch, r));
    }

    void DropDigests() {
        m_digests.reset();
        Exec("DROP TABLE document_digests");
    }

    // False when the build was stopped at the first status.
    bool BeginWriting() {
        m_start = Clock::now();
        m_lastStatus = m_start;
        Status(Progress(m_start));
        if (m_builder.m_aborted) return false;
        Exec("BEGIN");
        return true;
    }

    // Commits, merges with `merge` (none: no merge) and leaves the file ready to be checked.
    bool Finish(const QStringList& names, const QString& mergeStatus, const char* merge) {
        if (m_builder.m_aborted) return false;
        Status(Progress(Clock::now()));
        WriteInfo(names);
        m_digests.reset();
        if (!RunUntilDone("COMMIT")) return false;
        Status(mergeStatus);
        if (merge && !RunUntilDone(merge)) return false;
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

    // One document; `rowid` keeps the row of a replaced document, none takes a new one.
    void Insert(const index::Batch& batch, int r, std::optional<std::int64_t> rowid) {
        if ((rowid ? sqlite3_bind_int64(m_insert, 1, *rowid) : sqlite3_bind_null(m_insert, 1)) != SQLITE_OK)
            Fail(WriteError());
        for (int c = 0; c < batch.columns; ++c)
            if (index::BindValue(m_insert, c + 2, batch, batch.At(r, c)) != SQLITE_OK) Fail(WriteError());
        const int rc = sqlite3_step(m_insert);
        sqlite3_reset(m_insert);
        if (rc != SQLITE_DONE) Fail(WriteError());
    }

    static QString KeyText(const index::Batch& batch, int r) {
        const auto& v = batch.At(r, 0);
        if (v.type == index::Value::Type::kInteger) return QString::number(v.integer);
        if (v.type == index::Value::Type::kFloat) return QString::number(v.real);
        return QLatin1Char('"') + QString::fromUtf8(batch.Data(v), qsizetype(std::min<std::size_t>(v.size, 80))) +
               QLatin1Char('"');
    }

    // Empty when the live index can take the changes; else why it cannot.
    QString LiveIndexUnusable() const {
        if (!QFileInfo::exists(m_live)) return QStringLiteral("there is no live index");
        const auto info = ReadIndexInfo(m_live);
        if (!info) return QStringLiteral("the live index cannot be read");
        const std::pair<const char*, QString> settings[] = {
            {"query", m_builder.m_query},
            {"tokenizer", Tokenizer()},
            {"unindexed", m_builder.m_storedColumns},
            {"prefix", m_builder.m_prefix.trimmed()},
        };
        const char* const said[] = {"document query", "tokenizer", "stored columns", "prefix setting"};
        for (std::size_t i = 0; i < std::size(settings); ++i)
            if (info->value(QString::fromLatin1(settings[i].first)) != settings[i].second)
                return QStringLiteral("the live index was built with another %1").arg(QLatin1StringView(said[i]));
        // "none: <why>" when a full build of this mode could not keep them.
        const QString digests = info->value(QStringLiteral("digests"));
        if (digests == u"kept") return {};
        const QString why = digests.section(QStringLiteral(": "), 1);
        return QStringLiteral("the live index has no digests") + (why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why));
    }

    // Lets go of everything a changes build began, for a full build in its place.
    void StartAgain() {
        Close();
        RemoveStaging(m_staging);
        m_rows = m_total = m_statusRows = 0;
        m_added = m_replaced = m_deleted = 0;
        m_changed = {};
        m_changedRowids.clear();
        m_changedDigests.clear();
        m_phase = Phase::kIndexing;
    }

    Applied FillChanges() {
        index::ReadAhead ahead(index::ResolveSource(m_builder.m_connectionText, m_builder.m_query), {});
        QStringList names;
        if (!StartReading(ahead, names)) return Applied::kStopped;
        if (const QString why = OpenCopy(names); !why.isEmpty()) {
            m_fullBuildReason = why;
            return Applied::kFallBack;
        }
        // One transaction from the first lookup to the commit: SQLite then keeps its
        // page cache and its lock instead of taking both again for every document.
        Exec("BEGIN");
        std::vector<std::int64_t> rowids = m_digests->Rowids();
        if (!Compare(ahead, names, rowids)) return m_fullBuildReason.isEmpty() ? Applied::kStopped : Applied::kFallBack;
        std::vector<std::int64_t> gone;
        for (const std::int64_t rowid : rowids)
            if (!m_seen[std::size_t(rowid)]) gone.push_back(rowid);
        m_deleted = std::int64_t(gone.size());
        if (TooManyChanges(rowids.size())) return Applied::kFallBack;
        m_phase = Phase::kApplying;
        Status(QStringLiteral("Indexing: applying %1 changes").arg(m_added + m_replaced + m_deleted));
        // The replaced documents go with the deleted ones and come back under their rowids.
        for (std::size_t i = 0; i < m_changedRowids.size(); ++i)
            if (m_changedRowids[i]) gone.push_back(m_changedRowids[i]);
        m_digests->RemoveDocuments(gone);
        if (!Pump()) return Applied::kStopped;
        // The replaced documents first: a new one could otherwise take the rowid of a
        // replaced one that has not come back yet.
        for (const bool replaced : {true, false}) {
            for (int r = 0; r < m_changed.rows; ++r) {
                const std::int64_t rowid = m_changedRowids[std::size_t(r)];
                if ((rowid != 0) != replaced) continue;
                Insert(m_changed, r, rowid ? std::optional<std::int64_t>(rowid) : std::nullopt);
                if (!m_digests->Add(m_changed, r, sqlite3_last_insert_rowid(m_db), m_changedDigests[std::size_t(r)]))
                    Fail(WriteError());
                if (!Pump()) return Applied::kStopped;
            }
        }
        // Without a change there is nothing to merge, and the file stays as it was but for index_info.
        const bool changed = m_added + m_replaced + m_deleted > 0;
        const bool done =
            Finish(names, QStringLiteral("Indexing: merging the changes into the index"), changed ? kBoundedMerge : nullptr);
        return done ? Applied::kDone : Applied::kStopped;
    }

    // Reads every document and keeps those whose digest differs; false when stopped or
    // when the build must be full (m_fullBuildReason says why).
    bool Compare(index::ReadAhead& ahead, const QStringList& names, const std::vector<std::int64_t>& rowids) {
        m_seen.assign(std::size_t(rowids.empty() ? 1 : *std::max_element(rowids.begin(), rowids.end()) + 1), false);
        m_phase = Phase::kComparing;
        m_changed.columns = int(names.size());
        std::unordered_set<std::string> newKeys;
        std::string scratch;
        m_start = Clock::now();
        m_lastStatus = m_start;
        Status(Progress(m_start));
        if (m_builder.m_aborted) return false;
        return ForEachRow(ahead, int(names.size()), [&](const index::Batch& batch, int r) {
            if (batch.At(r, 0).type == index::Value::Type::kNull) {
                m_fullBuildReason = QStringLiteral("a document key is NULL");
                return false;
            }
            const auto digest = index::DigestOfRow(batch, r, scratch);
            const auto entry = m_digests->Find(batch, r);
            bool twice = false;
            if (entry) {
                twice = m_seen[std::size_t(entry->rowid)];
                m_seen[std::size_t(entry->rowid)] = true;
            } else {
                twice = !newKeys.insert(index::KeyBytes(batch, r)).second;
            }
            if (twice) {
                m_fullBuildReason = QStringLiteral("the key %1 was read twice").arg(KeyText(batch, r));
                return false;
            }
            if (entry && entry->digest == digest) return true;
            ++(entry ? m_replaced : m_added);
            KeepChanged(batch, r, entry ? entry->rowid : 0, digest);
            return !TooManyChanges(rowids.size());
        });
    }

    // True, with the reason, when more documents changed than <MaxChangedPercent> allows.
    bool TooManyChanges(std::size_t liveDocuments) {
        const std::int64_t changed = m_added + m_replaced + m_deleted;
        const std::int64_t base = std::max<std::int64_t>({m_total, std::int64_t(liveDocuments), 1});
        if (changed * 100 <= std::int64_t(m_builder.m_buildMode.maxChangedPercent) * base) return false;
        m_fullBuildReason = QStringLiteral("more than %1% of the documents changed").arg(m_builder.m_buildMode.maxChangedPercent);
        return true;
    }

    void KeepChanged(const index::Batch& batch, int r, std::int64_t rowid, const index::Digest& digest) {
        using Type = index::Value::Type;
        for (int c = 0; c < batch.columns; ++c) {
            const auto& v = batch.At(r, c);
            switch (v.type) {
                case Type::kInteger: m_changed.AddInteger(v.integer); break;
                case Type::kFloat: m_changed.AddFloat(v.real); break;
                case Type::kText:
                case Type::kBlob: m_changed.AddBytes(v.type, batch.Data(v), v.size); break;
                case Type::kNull: m_changed.AddNull(); break;
            }
        }
        ++m_changed.rows;
        m_changedRowids.push_back(rowid);
        m_changedDigests.push_back(digest);
    }

    // The staging file as a copy of the live index; empty on success, else why the
    // copy cannot take the changes.
    QString OpenCopy(const QStringList& names) {
        RemoveStaging(m_staging);
        if (!QFile::copy(m_live, m_staging))
            Fail(QStringLiteral("Unable to copy %1 to %2.").arg(m_live, m_staging));
        OpenStaging(SQLITE_OPEN_READWRITE);
        if (LiveColumns() != names) return QStringLiteral("the document query returns other columns now");
        if (!index::DigestTable::Exists(m_db)) return QStringLiteral("the live index has no digests");
        m_digests = std::make_unique<index::DigestTable>(m_db, m_staging);
        PrepareInsert(names);
        return {};
    }

    // The columns of "documents", the first one under the query's name for the key.
    QStringList LiveColumns() {
        QStringList columns;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, "SELECT name FROM pragma_table_info('documents')", -1, &stmt, nullptr) != SQLITE_OK)
            Fail(WriteError());
        while (sqlite3_step(stmt) == SQLITE_ROW)
            columns << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        const auto info = ReadIndexInfo(m_live);
        if (!columns.isEmpty() && info) columns.first() = info->value(QStringLiteral("key"));
        return columns;
    }

public:
    void Status(const QString& text) {
        if (!m_builder.m_statusHandler) return;
        m_builder.m_statusHandler->UpdateStatus(text);
    }

private:
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
        for (qsizetype i = 1; i < names.size(); ++i) {
            if (names[i].compare(QLatin1String("key"), Qt::CaseInsensitive) == 0)
                Fail(
                    QStringLiteral("The document query has a column named \"key\" after its first column; "
                                   "\"key\" is the name of the document key in the index."));
            defs << SqlName(names[i]) + (stored.contains(names[i], Qt::CaseInsensitive)
                                             ? QStringLiteral(" UNINDEXED")
                                             : QString());
        }
        const QString tokenizer = Tokenizer();
        defs << QStringLiteral("tokenize = ") + SqlString(tokenizer);
        if (!m_builder.m_prefix.trimmed().isEmpty())
            defs << QStringLiteral("prefix = ") + SqlString(m_builder.m_prefix.trimmed());

        RemoveStaging(m_staging);
        OpenStaging(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
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
        PrepareInsert(names);
    }

    void OpenStaging(int flags) {
        const QByteArray file = QFile::encodeName(m_staging);
        if (sqlite3_open_v2(file.constData(), &m_db, flags, nullptr) != SQLITE_OK)
            Fail(QStringLiteral("Unable to open %1: %2").arg(m_staging, QString::fromUtf8(sqlite3_errmsg(m_db))));
        sqlite3_extended_result_codes(m_db, 1);
        // Nothing needs to survive a crash while the staging file is written: a
        // crashed build is thrown away, so journal and syncs would be wasted work.
        Exec("PRAGMA journal_mode=OFF");
        Exec("PRAGMA synchronous=OFF");
        // The FTS5 table buffers its terms itself and writes its segments in one
        // pass, so a large page cache would only add to the memory of the build.
        Exec("PRAGMA cache_size=-4096");
        Exec("PRAGMA temp_store=FILE");
    }

    // The first parameter is the rowid: NULL takes a new one.
    void PrepareInsert(const QStringList& names) {
        QStringList columns{QStringLiteral("rowid"), QStringLiteral("key")};
        QStringList marks{QStringLiteral("?"), QStringLiteral("?")};
        for (qsizetype i = 1; i < names.size(); ++i) {
            columns << SqlName(names[i]);
            marks << QStringLiteral("?");
        }
        const QByteArray insert = QStringLiteral("INSERT INTO documents(%1) VALUES(%2)")
                                      .arg(columns.join(QLatin1Char(',')), marks.join(QLatin1Char(',')))
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
        if (sqlite3_prepare_v2(m_db, "INSERT OR REPLACE INTO index_info(name, value) VALUES(?, ?)", -1, &stmt,
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
            {"build_mode", m_builder.m_buildMode.mode == component::BuildMode::Changes && m_fullBuildReason.isEmpty()
                               ? QStringLiteral("changes")
                               : QStringLiteral("full")},
            {"full_build_reason", m_fullBuildReason},
            {"documents_added", QString::number(m_added)},
            {"documents_replaced", QString::number(m_replaced)},
            {"documents_deleted", QString::number(m_deleted)},
            {"digests", m_builder.m_buildMode.mode != component::BuildMode::Changes ? QStringLiteral("none")
                        : m_digestsLost.isEmpty()                              ? QStringLiteral("kept")
                                                                               : QStringLiteral("none: ") + m_digestsLost},
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
        if (m_phase == Phase::kComparing)
            return QStringLiteral("Indexing: comparing %1 of %2 documents").arg(m_rows).arg(m_total);
        return QStringLiteral("Indexing: %1 of %2 documents (%3%), %4 documents/s")
            .arg(m_rows)
            .arg(m_total)
            .arg(percent)
            .arg(rate);
    }

public:
    QString m_logPath;

private:
    enum class Phase { kIndexing, kComparing, kApplying };

    Fts5IndexBuilder& m_builder;
    QString m_live;
    QString m_staging;
    Phase m_phase = Phase::kIndexing;
    QString m_fullBuildReason;
    QString m_digestsLost;
    std::unique_ptr<index::DigestTable> m_digests;
    std::int64_t m_added = 0;
    std::int64_t m_replaced = 0;
    std::int64_t m_deleted = 0;
    // The documents a changes build adds or replaces, with their old rowids (0: new).
    index::Batch m_changed;
    std::vector<std::int64_t> m_changedRowids;
    std::vector<index::Digest> m_changedDigests;
    std::vector<bool> m_seen;  // by rowid: read from the source in this build
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

// The files of one index folder.
struct Fts5IndexBuilder::Files {
    explicit Files(const QString& folder)
        : live(folder + QStringLiteral("/index.db")),
          staging(live + QStringLiteral(".staging")),
          previous(folder + QStringLiteral("/index.previous.db")),
          rejected(folder + QStringLiteral("/index.rejected.db")) {}
    QString live;
    QString staging;
    QString previous;
    QString rejected;
};

bool Fts5IndexBuilder::Build() {
    if (m_indexPath.trimmed().isEmpty())
        Fail(QStringLiteral("The index \"%1\" has no index path: its <IndexPath> in IndexConfiguration.xml "
                            "is missing or empty.")
                 .arg(m_indexName));
    const QString folder = QDir(m_indexPath).absolutePath();
    if (!QDir().mkpath(folder)) Fail(QStringLiteral("Unable to create the index folder %1.").arg(folder));
    const Files files(folder);
    m_lastBuild = {};

    IndexLock lock(folder, m_indexName);
    // Left behind by a build that was killed; the lock says no build is using them.
    RemoveStaging(files.staging);
    QFile::remove(files.previous + QStringLiteral(".tmp"));
    const auto started = Clock::now();
    Run run(*this, files.live, files.staging);
    run.m_logPath = IndexLogPath(m_engine.get());
    WarnIfIndexLogUnwritable(run.m_logPath);
    bool complete = false;
    QString refusal;
    QString checkFigures;
    try {
        complete = run.Fill();
        if (complete && StagingHook()) StagingHook()(files.staging);
        if (complete) complete = CheckStaging(run, files, refusal, checkFigures);
        if (complete && refusal.isEmpty()) PutInPlace(files);
    } catch (...) {
        ReportFailure(run, files);
    }
    if (!complete) return ReportAbort(run, files);
    if (!refusal.isEmpty()) ReportRefusal(run, files, refusal);
    m_documentCount = std::int32_t(std::min<std::int64_t>(run.Rows(), INT32_MAX));
    m_lastBuild = run.Report();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    AppendIndexLog(
        run.m_logPath, m_indexName, QStringLiteral("finished"),
        QStringLiteral("%1 documents in %2 s (%3); %4")
            .arg(run.Rows())
            .arg(seconds, 0, 'f', 1)
            .arg(run.ModeSummary(), checkFigures));
    run.Status(QStringLiteral("Indexing finished: %1 documents").arg(run.Rows()));
    return true;
}

// False when the checks were stopped; a failed check leaves its text in `refusal`,
// passed checks their figures in `figures` and in index_info.
bool Fts5IndexBuilder::CheckStaging(Run& run, const Files& files, QString& refusal, QString& figures) {
    run.Status(QStringLiteral("Indexing: checking the new index of %1 documents").arg(run.Rows()));
    IndexVerification checks(files.staging, run.Rows(), LiveDocuments(files.live), m_verify,
                         [&run] { return run.Pump(); });
    const auto outcome = checks.Run();
    if (outcome == IndexVerification::Outcome::kStopped) return false;
    if (outcome == IndexVerification::Outcome::kRefused) {
        refusal = checks.Refusal();
        return true;
    }
    if (const QString why = checks.Record(); !why.isEmpty())
        Fail(QStringLiteral("Writing the index %1 failed: %2").arg(files.staging, why));
    QStringList parts;
    for (const auto& [name, value] : checks.Figures()) parts << name + QStringLiteral(": ") + value;
    figures = parts.join(QStringLiteral("; "));
    return true;
}

// The synced staging file replaces the live index, which is kept as the previous one.
void Fts5IndexBuilder::PutInPlace(const Files& files) {
    if (const QString why = files::SyncToDisk(files.staging); !why.isEmpty())
        Fail(QStringLiteral("Unable to write %1 to disk: %2").arg(files.staging, why));
    if (const QString why = KeepPrevious(files.live, files.previous); !why.isEmpty())
        Fail(QStringLiteral("Unable to keep %1 as %2: %3").arg(files.live, files.previous, why));
    if (const QString why = files::DurableRename(files.staging, files.live); !why.isEmpty())
        Fail(QStringLiteral("Unable to put the new index in place of %1: %2").arg(files.live, why));
}

// Called from a catch block: logs the failure and raises it again.
void Fts5IndexBuilder::ReportFailure(Run& run, const Files& files) {
    run.Close();
    RemoveStaging(files.staging);
    m_documentCount = LiveCount(files.live);
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

bool Fts5IndexBuilder::ReportAbort(Run& run, const Files& files) {
    run.Close();
    RemoveStaging(files.staging);
    m_documentCount = LiveCount(files.live);
    AppendIndexLog(run.m_logPath, m_indexName, QStringLiteral("aborted"),
                   QStringLiteral("after %1 of %2 documents").arg(run.Rows()).arg(run.Total()));
    run.Status(QStringLiteral("Indexing aborted after %1 documents").arg(run.Rows()));
    return false;
}

// The refused file stays beside the live one for the administrator to look into; one
// such file, the latest refusal.
void Fts5IndexBuilder::ReportRefusal(Run& run, const Files& files, const QString& refusal) {
    QFile::remove(files.staging + QStringLiteral("-journal"));
    QString kept = files.rejected;
    if (const QString why = files::DurableRename(files.staging, files.rejected); !why.isEmpty()) {
        RemoveStaging(files.staging);
        kept = QStringLiteral("not kept (%1)").arg(why);
    }
    m_documentCount = LiveCount(files.live);
    AppendIndexLog(run.m_logPath, m_indexName, QStringLiteral("refused"),
                   QStringLiteral("%1 Refused index: %2").arg(refusal, kept));
    run.Status(QStringLiteral("Indexing refused: the new index of %1 documents failed a check").arg(run.Rows()));
    throw Error(errnum::kIndexRefused, kSource, refusal);
}

}  // namespace zarvik::index
