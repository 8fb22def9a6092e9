// The build that applies only the changes: a copy of the live index takes the
// documents whose digest differs, and loses those that are gone.
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "zarvik/index/buildrun.h"
#include "zarvik/index/indexfiles.h"

namespace zarvik::index {
namespace {

// Each build of the changes writes its documents as small segments and marks the ones
// it deletes or replaces as gone; their postings stay in the large segment of the last
// full merge, where every query still reads and skips them. SQLite's automerge keeps
// the small segments few. Once the documents changed since the last full merge pass
// this share of the index, 'optimize' rewrites it as one segment, as a full build
// leaves it: the cost of that merge, spread over the builds that led to it, stays in
// proportion to what they changed (measured in docs/benchmarks.md).
constexpr std::int64_t kOptimizeAfterPercent = 5;
const char* const kOptimize = "INSERT INTO documents(documents) VALUES('optimize')";
// index_info: the documents added, replaced or deleted since the index was last one
// segment (absent after a full build).
const char* const kChangedSinceOptimize = "changed_since_optimize";
// index_info: the pages in use when the file was last written whole, by a full build or
// a compaction (set by the first build of the changes after a full build).
const char* const kPackedPages = "packed_pages";
// A build that optimizes also compacts the file once its pages pass those by this share
// (see Compact).
constexpr std::int64_t kCompactAfterGrowthPercent = 12;

}  // namespace

QString Fts5IndexBuilder::Run::LiveIndexUnusable() const {
    if (!QFileInfo::exists(m_live)) return QStringLiteral("there is no live index");
    const auto info = ReadIndexInfo(m_live);
    if (!info) return QStringLiteral("the live index cannot be read");
    const std::pair<const char*, QString> settings[] = {
        {"query", m_builder.m_settings.query},
        {"tokenizer", Tokenizer()},
        {"unindexed", m_builder.m_settings.storedColumns},
        {"prefix", m_builder.m_settings.prefix.trimmed()},
        // A copy keeps the live index's rank setting, which holds the weights.
        {"column_weights", m_builder.m_settings.columnWeights},
    };
    const char* const said[] = {"document query", "tokenizer", "stored columns", "prefix setting",
                                "set of column weights"};
    for (std::size_t i = 0; i < std::size(settings); ++i)
        if (info->value(QString::fromLatin1(settings[i].first)) != settings[i].second)
            return QStringLiteral("the live index was built with another %1").arg(QLatin1StringView(said[i]));
    // "none: <why>" when a full build of this mode could not keep them.
    const QString digests = info->value(QStringLiteral("digests"));
    if (digests == u"kept") return {};
    const QString why = digests.section(QStringLiteral(": "), 1);
    return QStringLiteral("the live index has no digests") +
           (why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why));
}

void Fts5IndexBuilder::Run::StartAgain() {
    Close();
    RemoveStaging(m_staging);
    m_rows = m_total = m_statusRows = 0;
    m_added = m_replaced = m_deleted = 0;
    m_changed = {};
    m_changedRowids.clear();
    m_changedDigests.clear();
    m_phase = Phase::kIndexing;
}

Fts5IndexBuilder::Run::Applied Fts5IndexBuilder::Run::FillChanges() {
    index::ReadAhead ahead(index::ResolveSource(m_builder.m_connectionText, m_builder.m_settings.query), {});
    QStringList names;
    if (!StartReading(ahead, names)) return Applied::kStopped;
    if (const QString why = OpenCopy(names); !why.isEmpty()) {
        m_fullBuildReason = why;
        return Applied::kFallBack;
    }
    // One transaction from the first lookup to the commit: SQLite then keeps its
    // page cache and its lock instead of taking both again for every document.
    Exec("BEGIN");
    if (!InfoNumber(kPackedPages)) SetInfo(kPackedPages, QString::number(Pages(true)));
    std::vector<std::int64_t> rowids = m_digests->Rowids();
    if (!Compare(ahead, names, rowids))
        return m_fullBuildReason.isEmpty() ? Applied::kStopped : Applied::kFallBack;
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
            if (!m_digests->Add(m_changed, r, sqlite3_last_insert_rowid(m_db),
                                m_changedDigests[std::size_t(r)]))
                FailBuild(WriteError());
            if (!Pump()) return Applied::kStopped;
        }
    }
    const bool optimize = KeepChangedSinceOptimize();
    const QString status = optimize
                               ? QStringLiteral("Indexing: optimizing the index of %1 documents").arg(m_rows)
                               : QStringLiteral("Indexing: merging the changes into the index");
    bool done = Finish(names, status, optimize ? kOptimize : nullptr);
    if (done && optimize) {
        Compact();
        done = !m_builder.m_aborted;
    }
    return done ? Applied::kDone : Applied::kStopped;
}

bool Fts5IndexBuilder::Run::KeepChangedSinceOptimize() {
    const std::int64_t changed =
        InfoNumber(kChangedSinceOptimize).value_or(0) + m_added + m_replaced + m_deleted;
    // Without a change the file stays as it was but for index_info.
    const bool optimize =
        changed > 0 && changed * 100 > kOptimizeAfterPercent * std::max<std::int64_t>(m_rows, 1);
    SetInfo(kChangedSinceOptimize, QString::number(optimize ? 0 : changed));
    return optimize;
}

std::optional<std::int64_t> Fts5IndexBuilder::Run::Number(const char* sql, const char* parameter) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr) != SQLITE_OK) FailBuild(WriteError());
    if (parameter) sqlite3_bind_text(stmt, 1, parameter, -1, SQLITE_STATIC);
    std::optional<std::int64_t> value;
    if (sqlite3_step(stmt) == SQLITE_ROW) value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

std::optional<std::int64_t> Fts5IndexBuilder::Run::InfoNumber(const char* name) {
    return Number("SELECT value FROM index_info WHERE name = ?", name);
}

std::int64_t Fts5IndexBuilder::Run::Pages(bool lessFree) {
    const std::int64_t pages = Number("PRAGMA page_count").value_or(0);
    return lessFree ? pages - Number("PRAGMA freelist_count").value_or(0) : pages;
}

// A replaced document goes back under its rowid, in the middle of the content table,
// and splits the page it lands on; every optimize needs room for the new segment
// beside the old ones. Over 30 builds of 1 % each the file grew to 1.15x the pages a
// fresh build used, though the index was one segment again. VACUUM INTO writes every
// table anew, packed, beside the staging file (in the index's own folder rather than a
// temporary one that may be smaller): a third of a second for the 90 MB of GCIDE. But
// it moves every page, so that rsync and the store then send the whole file rather
// than the third of it an optimize changes: it is done only once the file has grown
// by kCompactAfterGrowthPercent, every third optimize or so at 1 % a build. A folder
// without room for the copy keeps the file as it is: the build would otherwise fail
// where it succeeded before.
void Fts5IndexBuilder::Run::Compact() {
    const QString compact = m_staging + QStringLiteral("-compact");
    QFile::remove(compact);
    OpenStaging(SQLITE_OPEN_READWRITE);
    const std::int64_t pages = Pages(false);
    const bool grown =
        pages * 100 > InfoNumber(kPackedPages).value_or(pages) * (100 + kCompactAfterGrowthPercent) &&
        QStorageInfo(QFileInfo(m_staging).absolutePath()).bytesAvailable() >
            QFileInfo(m_staging).size() + (64 << 20);
    bool done = true;
    if (grown) {
        Status(QStringLiteral("Indexing: compacting the index of %1 documents").arg(m_rows));
        done = RunUntilDone(QStringLiteral("VACUUM INTO %1").arg(SqlString(compact)).toUtf8().constData());
    }
    CloseStaging();
    if (!grown || !done) return;
    if (std::rename(QFile::encodeName(compact).constData(), QFile::encodeName(m_staging).constData()) != 0)
        FailBuild(QStringLiteral("Unable to rename %1 to %2: %3")
                      .arg(compact, m_staging, QString::fromLocal8Bit(std::strerror(errno))));
    // The file grows from its compacted size from now on.
    OpenStaging(SQLITE_OPEN_READWRITE);
    SetInfo(kPackedPages, QString::number(Pages(false)));
    CloseStaging();
}

void Fts5IndexBuilder::Run::CloseStaging() {
    if (sqlite3_close(m_db) != SQLITE_OK) FailBuild(QStringLiteral("Unable to close the new index."));
    m_db = nullptr;
}

bool Fts5IndexBuilder::Run::Compare(index::ReadAhead& ahead, const QStringList& names,
                                    const std::vector<std::int64_t>& rowids) {
    m_seen.assign(std::size_t(rowids.empty() ? 1 : *std::max_element(rowids.begin(), rowids.end()) + 1),
                  false);
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

bool Fts5IndexBuilder::Run::TooManyChanges(std::size_t liveDocuments) {
    const std::int64_t changed = m_added + m_replaced + m_deleted;
    const std::int64_t base = std::max<std::int64_t>({m_total, std::int64_t(liveDocuments), 1});
    if (changed * 100 <= std::int64_t(m_builder.m_settings.buildMode.maxChangedPercent) * base) return false;
    m_fullBuildReason = QStringLiteral("more than %1% of the documents changed")
                            .arg(m_builder.m_settings.buildMode.maxChangedPercent);
    return true;
}

void Fts5IndexBuilder::Run::KeepChanged(const index::Batch& batch, int r, std::int64_t rowid,
                                        const index::Digest& digest) {
    using Type = index::Value::Type;
    for (int c = 0; c < batch.columns; ++c) {
        const auto& v = batch.At(r, c);
        switch (v.type) {
            case Type::kInteger:
                m_changed.AddInteger(v.integer);
                break;
            case Type::kFloat:
                m_changed.AddFloat(v.real);
                break;
            case Type::kText:
            case Type::kBlob:
                m_changed.AddBytes(v.type, batch.Data(v), v.size);
                break;
            case Type::kNull:
                m_changed.AddNull();
                break;
        }
    }
    ++m_changed.rows;
    m_changedRowids.push_back(rowid);
    m_changedDigests.push_back(digest);
}

QString Fts5IndexBuilder::Run::OpenCopy(const QStringList& names) {
    RemoveStaging(m_staging);
    if (!QFile::copy(m_live, m_staging))
        FailBuild(QStringLiteral("Unable to copy %1 to %2.").arg(m_live, m_staging));
    OpenStaging(SQLITE_OPEN_READWRITE);
    if (LiveColumns() != names) return QStringLiteral("the document query returns other columns now");
    if (!index::DigestTable::Exists(m_db)) return QStringLiteral("the live index has no digests");
    m_digests = std::make_unique<index::DigestTable>(m_db, m_staging);
    PrepareInsert(names);
    return {};
}

QStringList Fts5IndexBuilder::Run::LiveColumns() {
    QStringList columns;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT name FROM pragma_table_info('documents')", -1, &stmt, nullptr) !=
        SQLITE_OK)
        FailBuild(WriteError());
    while (sqlite3_step(stmt) == SQLITE_ROW)
        columns << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    const auto info = ReadIndexInfo(m_live);
    if (!columns.isEmpty() && info) columns.first() = info->value(QStringLiteral("key"));
    return columns;
}

}  // namespace zarvik::index
