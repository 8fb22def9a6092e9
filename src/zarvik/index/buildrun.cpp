// The full build of an index into its staging file, and what a build of the
// changes shares with it: the staging database, the status and the
// dialog's events.
#include "zarvik/index/buildrun.h"

#include <QFile>
#include <algorithm>

#include "snowball/snowball.h"
#include "zarvik/index/indexfiles.h"
#include "zarvik/index/indexlog.h"

namespace zarvik::index {
namespace {

using std::chrono::milliseconds;

constexpr std::int64_t kStatusEveryDocuments = 1000;
constexpr milliseconds kStatusEvery{250};
// Half the promised 50 ms, so that one slow row does not break the promise.
constexpr milliseconds kEventsEvery{25};

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

QString SqlName(QString name) {
    return QLatin1Char('"') + name.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

}  // namespace

QString SqlString(QString text) {
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\'');
}

void Fts5IndexBuilder::Run::Close() {
    m_digests.reset();
    sqlite3_finalize(m_insert);
    m_insert = nullptr;
    if (m_db) sqlite3_close(m_db);
    m_db = nullptr;
}

bool Fts5IndexBuilder::Run::Fill() {
    if (m_builder.m_settings.buildMode.mode != component::BuildMode::Changes) return FillFull();
    m_fullBuildReason = LiveIndexUnusable();
    if (m_fullBuildReason.isEmpty()) {
        const Applied applied = FillChanges();
        if (applied != Applied::kFallBack) return applied == Applied::kDone;
        StartAgain();
    }
    Status(QStringLiteral("Indexing: building in full because %1").arg(m_fullBuildReason));
    return FillFull();
}

component::BuildReport Fts5IndexBuilder::Run::Report() const {
    const bool applied =
        m_builder.m_settings.buildMode.mode == component::BuildMode::Changes && m_fullBuildReason.isEmpty();
    return {applied ? component::BuildMode::Changes : component::BuildMode::Full, m_fullBuildReason, m_added,
            m_replaced, m_deleted};
}

QString Fts5IndexBuilder::Run::ModeSummary() const {
    if (m_builder.m_settings.buildMode.mode != component::BuildMode::Changes) return QStringLiteral("full");
    if (!m_fullBuildReason.isEmpty()) return QStringLiteral("full because %1").arg(m_fullBuildReason);
    return QStringLiteral("changes: %1 added, %2 replaced, %3 deleted")
        .arg(m_added)
        .arg(m_replaced)
        .arg(m_deleted);
}

bool Fts5IndexBuilder::Run::StartReading(index::ReadAhead& ahead, QStringList& names) {
    Status(QStringLiteral("Indexing: counting the documents"));
    while (!ahead.Total(m_total, kWaitForReader))
        if (!Pump()) return false;
    if (m_total < 0 || m_builder.m_aborted) return false;
    AppendIndexLog(m_logPath, m_builder.m_settings.name, QStringLiteral("started"),
                   QStringLiteral("%1 documents to index").arg(m_total));
    while (!ahead.Columns(names, kWaitForReader))
        if (!Pump()) return false;
    return !m_builder.m_aborted;
}

bool Fts5IndexBuilder::Run::FillFull() {
    index::ReadAhead ahead(index::ResolveSource(m_builder.m_connectionText, m_builder.m_settings.query), {});
    QStringList names;
    if (!StartReading(ahead, names)) return false;
    CreateIndex(names);
    const bool keepDigests = m_builder.m_settings.buildMode.mode == component::BuildMode::Changes;
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

void Fts5IndexBuilder::Run::KeepDigest(const index::Batch& batch, int r, std::string& scratch) {
    if (!m_digestsLost.isEmpty()) return;
    if (batch.At(r, 0).type == index::Value::Type::kNull) {
        m_digestsLost = QStringLiteral("a document key is NULL");
        return;
    }
    const auto digest = index::DigestOfRow(batch, r, scratch);
    if (!m_digests->Add(batch, r, sqlite3_last_insert_rowid(m_db), digest))
        m_digestsLost = QStringLiteral("the key %1 was read twice").arg(KeyText(batch, r));
}

void Fts5IndexBuilder::Run::DropDigests() {
    m_digests.reset();
    Exec("DROP TABLE document_digests");
}

bool Fts5IndexBuilder::Run::BeginWriting() {
    m_start = Clock::now();
    m_lastStatus = m_start;
    Status(Progress(m_start));
    if (m_builder.m_aborted) return false;
    Exec("BEGIN");
    return true;
}

bool Fts5IndexBuilder::Run::Finish(const QStringList& names, const QString& mergeStatus, const char* merge) {
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
    CloseStaging();
    return !m_builder.m_aborted;
}

void Fts5IndexBuilder::Run::Insert(const index::Batch& batch, int r, std::optional<std::int64_t> rowid) {
    if ((rowid ? sqlite3_bind_int64(m_insert, 1, *rowid) : sqlite3_bind_null(m_insert, 1)) != SQLITE_OK)
        FailBuild(WriteError());
    for (int c = 0; c < batch.columns; ++c)
        if (index::BindValue(m_insert, c + 2, batch, batch.At(r, c)) != SQLITE_OK) FailBuild(WriteError());
    const int rc = sqlite3_step(m_insert);
    sqlite3_reset(m_insert);
    if (rc != SQLITE_DONE) FailBuild(WriteError());
}

QString Fts5IndexBuilder::Run::KeyText(const index::Batch& batch, int r) {
    const auto& v = batch.At(r, 0);
    if (v.type == index::Value::Type::kInteger) return QString::number(v.integer);
    if (v.type == index::Value::Type::kFloat) return QString::number(v.real);
    return QLatin1Char('"') + QString::fromUtf8(batch.Data(v), qsizetype(std::min<std::size_t>(v.size, 80))) +
           QLatin1Char('"');
}

void Fts5IndexBuilder::Run::Status(const QString& text) {
    if (!m_builder.m_statusHandler) return;
    m_builder.m_statusHandler->UpdateStatus(text);
}

void Fts5IndexBuilder::Run::Tune(const char* const* statements) {
    for (; *statements; ++statements) sqlite3_exec(m_db, *statements, nullptr, nullptr, nullptr);
}

// FTS5 gives no reason when SQLite refuses the table it declares for the columns (a
// name twice: "vtable constructor failed"); a plain table of the same columns gets
// SQLite's own. The empty text when the columns are not what SQLite refused.
QString Fts5IndexBuilder::Run::ColumnsRefusal(const QStringList& names) {
    QStringList columns{QStringLiteral("key")};
    for (qsizetype i = 1; i < names.size(); ++i) columns << SqlName(names[i]);
    const QString probe =
        QStringLiteral("CREATE TEMP TABLE zarvik_columns(%1)").arg(columns.join(QStringLiteral(", ")));
    if (sqlite3_exec(m_db, probe.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK) {
        sqlite3_exec(m_db, "DROP TABLE temp.zarvik_columns", nullptr, nullptr, nullptr);
        return {};
    }
    return QString::fromUtf8(sqlite3_errmsg(m_db));
}

void Fts5IndexBuilder::Run::CreateIndex(const QStringList& names) {
    if (names.isEmpty()) FailBuild(QStringLiteral("The document query returns no columns."));
    QStringList stored;
    for (const QString& s : m_builder.m_settings.storedColumns.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString name = s.trimmed();
        if (name.isEmpty()) continue;
        if (!names.mid(1).contains(name, Qt::CaseInsensitive) &&
            name.compare(names.first(), Qt::CaseInsensitive) != 0)
            FailBuild(
                QStringLiteral("The stored column \"%1\" is not a column of the document query.").arg(name));
        stored << name;
    }
    QStringList defs{QStringLiteral("key UNINDEXED")};
    for (qsizetype i = 1; i < names.size(); ++i) {
        if (names[i].compare(QLatin1String("key"), Qt::CaseInsensitive) == 0)
            FailBuild(
                QStringLiteral("The document query has a column named \"key\" after its first column; "
                               "\"key\" is the name of the document key in the index."));
        defs << SqlName(names[i]) + (stored.contains(names[i], Qt::CaseInsensitive)
                                         ? QStringLiteral(" UNINDEXED")
                                         : QString());
    }
    const QString tokenizer = Tokenizer();
    defs << QStringLiteral("tokenize = ") + SqlString(tokenizer);
    if (!m_builder.m_settings.prefix.trimmed().isEmpty())
        defs << QStringLiteral("prefix = ") + SqlString(m_builder.m_settings.prefix.trimmed());

    RemoveStaging(m_staging);
    OpenStaging(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    const QString create =
        QStringLiteral("CREATE VIRTUAL TABLE documents USING fts5(%1)").arg(defs.join(QStringLiteral(", ")));
    char* message = nullptr;
    if (sqlite3_exec(m_db, create.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK) {
        QString why = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
        sqlite3_free(message);
        // FTS5 says only "error in tokenizer constructor" when snowball refuses its arguments.
        char sentence[2048];
        if (lumora_snowball_setting_problem(tokenizer.toUtf8().constData(), sentence, sizeof sentence))
            why = QString::fromUtf8(sentence);
        else if (const QString columns = ColumnsRefusal(names); !columns.isEmpty())
            why = columns;
        FailBuild(
            QStringLiteral("SQLite refused the index of the columns %1 (tokenizer \"%2\", prefix \"%3\"): %4")
                .arg(names.join(QStringLiteral(", ")), tokenizer, m_builder.m_settings.prefix, why));
    }
    Tune(kBulkMerging);
    SetColumnWeights(names, stored);
    Exec("CREATE TABLE index_info(name TEXT PRIMARY KEY, value TEXT)");
    PrepareInsert(names);
}

// <ColumnWeights> as FTS5's rank setting, which the index keeps: bm25 with a weight for
// each column of the table, 0 for the key and the stored columns (they hold no terms),
// so that every reader's ORDER BY rank weighs alike, without the extension.
void Fts5IndexBuilder::Run::SetColumnWeights(const QStringList& names, const QStringList& stored) {
    const QStringList weights =
        m_builder.m_settings.columnWeights.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (weights.isEmpty()) return;
    QStringList searched, arguments{QStringLiteral("0")};
    for (qsizetype i = 1; i < names.size(); ++i) {
        const bool unsearched = stored.contains(names[i], Qt::CaseInsensitive);
        if (!unsearched) searched << names[i];
        arguments << (unsearched || searched.size() > weights.size() ? QStringLiteral("0")
                                                                     : weights[searched.size() - 1]);
    }
    if (searched.size() != weights.size())
        FailBuild(
            QStringLiteral("<ColumnWeights> gives %1 weights (%2) for the %3 searched columns of the "
                           "document query (%4); it takes one weight per searched column, in their order.")
                .arg(weights.size())
                .arg(weights.join(QLatin1Char(' ')))
                .arg(searched.size())
                .arg(searched.join(QStringLiteral(", "))));
    Exec(QStringLiteral("INSERT INTO documents(documents, rank) VALUES('rank', 'bm25(%1)')")
             .arg(arguments.join(QStringLiteral(", ")))
             .toUtf8()
             .constData());
}

void Fts5IndexBuilder::Run::OpenStaging(int flags) {
    const QByteArray file = QFile::encodeName(m_staging);
    if (sqlite3_open_v2(file.constData(), &m_db, flags, nullptr) != SQLITE_OK)
        FailBuild(
            QStringLiteral("Unable to open %1: %2").arg(m_staging, QString::fromUtf8(sqlite3_errmsg(m_db))));
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

void Fts5IndexBuilder::Run::PrepareInsert(const QStringList& names) {
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
        FailBuild(WriteError());
}

QString Fts5IndexBuilder::Run::WriteError() const {
    return QStringLiteral("Writing the index %1 failed: %2")
        .arg(m_staging, QString::fromUtf8(sqlite3_errmsg(m_db)));
}

void Fts5IndexBuilder::Run::Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const QString why = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
        sqlite3_free(message);
        FailBuild(QStringLiteral("Writing the index %1 failed: %2").arg(m_staging, why));
    }
}

bool Fts5IndexBuilder::Run::RunUntilDone(const char* sql) {
    sqlite3_progress_handler(m_db, 1000, &Run::OnProgress, this);
    char* message = nullptr;
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
    sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    const QString why = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
    sqlite3_free(message);
    if (m_pending) std::rethrow_exception(std::exchange(m_pending, nullptr));
    if (rc == SQLITE_OK) return true;
    if (m_builder.m_aborted) return false;
    FailBuild(QStringLiteral("Writing the index %1 failed: %2").arg(m_staging, why));
}

int Fts5IndexBuilder::Run::OnProgress(void* self) {
    auto* run = static_cast<Run*>(self);
    try {
        return run->Pump() ? 0 : 1;
    } catch (...) {
        run->m_pending = std::current_exception();
        return 1;
    }
}

bool Fts5IndexBuilder::Run::Pump(Clock::time_point now) {
    if (now - m_lastEvents >= kEventsEvery) {
        m_lastEvents = now;
        if (m_builder.m_statusHandler) m_builder.m_statusHandler->ProcessEvents();
    }
    return !m_builder.m_aborted;
}

bool Fts5IndexBuilder::Run::Tick() {
    const auto now = Clock::now();
    if (m_rows - m_statusRows >= kStatusEveryDocuments || now - m_lastStatus >= kStatusEvery)
        Status(Progress(now));
    return Pump(now);
}

QString Fts5IndexBuilder::Run::Progress(Clock::time_point now) {
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

}  // namespace zarvik::index
