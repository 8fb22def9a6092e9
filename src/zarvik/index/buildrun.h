// The state of one call of Fts5IndexBuilder::Build, shared by the full build
// (buildrun.cpp) and the build that applies only the changes (changesbuild.cpp).
#pragma once

#include <sqlite3.h>

#include <QString>
#include <QStringList>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zarvik/index/digests.h"
#include "zarvik/index/documentsource.h"
#include "zarvik/index/fts5indexbuilder.h"

namespace zarvik::index {

using Clock = std::chrono::steady_clock;

// How long the writer waits for the reader thread before it looks after the dialog.
constexpr std::chrono::milliseconds kWaitForReader{10};

// Raises the build's error, component::errnum::kIndexBuild, with `message`. (The
// document readers have a Fail of their own, for errors of the document database.)
[[noreturn]] void FailBuild(const QString& message);

// `text` as an SQL string literal.
QString SqlString(QString text);

// The staging database, the reader, the counters and the clock of the callbacks.
class Fts5IndexBuilder::Run {
public:
    Run(Fts5IndexBuilder& builder, QString live, QString staging)
        : m_builder(builder), m_live(std::move(live)), m_staging(std::move(staging)) {}
    ~Run() { Close(); }
    // Lets go of the staging file so that it can be removed.
    void Close();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    std::int64_t Rows() const { return m_rows; }
    std::int64_t Total() const { return m_total; }

    // Fills the staging file; false when the build was stopped. An index in the mode
    // "changes" applies only the changes to a copy of the live index when it can, and
    // else builds in full with the reason in Report().
    bool Fill();
    component::BuildReport Report() const;
    // "changes: 3 added, 1 replaced, 0 deleted" or "full", for the log.
    QString ModeSummary() const;

private:
    enum class Applied { kDone, kStopped, kFallBack };

    // Waits for the count and the columns of the reader; false when stopped.
    bool StartReading(index::ReadAhead& ahead, QStringList& names);

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
            if (batch.columns != columns) FailBuild(QStringLiteral("The document reader lost its columns."));
            for (int r = 0; r < batch.rows; ++r) {
                if (!row(batch, r)) return false;
                ++m_rows;
                if (!Tick()) return false;
            }
        }
        ahead.Stop();
        return !m_builder.m_aborted;
    }

    bool FillFull();

    // A full build keeps a digest of each document, unless a key is NULL or read twice:
    // then the index gets none and the next build of the changes builds in full again.
    void KeepDigest(const index::Batch& batch, int r, std::string& scratch);
    void DropDigests();

    // False when the build was stopped at the first status.
    bool BeginWriting();

    // Commits, merges with `merge` (none: no merge) and leaves the file ready to be checked.
    bool Finish(const QStringList& names, const QString& mergeStatus, const char* merge);

    // One document; `rowid` keeps the row of a replaced document, none takes a new one.
    void Insert(const index::Batch& batch, int r, std::optional<std::int64_t> rowid);
    static QString KeyText(const index::Batch& batch, int r);

    // The build that applies only the changes, in changesbuild.cpp.

    // Empty when the live index can take the changes; else why it cannot.
    QString LiveIndexUnusable() const;

    // Lets go of everything a changes build began, for a full build in its place.
    void StartAgain();
    Applied FillChanges();

    // Reads every document and keeps those whose digest differs; false when stopped or
    // when the build must be full (m_fullBuildReason says why).
    bool Compare(index::ReadAhead& ahead, const QStringList& names, const std::vector<std::int64_t>& rowids);

    // Adds this build's changes to those since the index was last one segment, in
    // index_info; true (and the count back to 0) when they call for an 'optimize'.
    bool KeepChangedSinceOptimize();

    // After an optimize: the staging file rewritten without the pages the changes
    // split or freed, once it has grown enough. Raises through FailBuild when it cannot be.
    void Compact();

    // The first column of the first row `sql` gives in the staging file, its one
    // parameter bound to `parameter`; none without a row.
    std::optional<std::int64_t> Number(const char* sql, const char* parameter = nullptr);
    // A number of index_info in the staging file; none when it has no such row.
    std::optional<std::int64_t> InfoNumber(const char* name);

    // The pages of the staging file, less its free ones with `lessFree`.
    std::int64_t Pages(bool lessFree);
    void CloseStaging();

    // True, with the reason, when more documents changed than <MaxChangedPercent> allows.
    bool TooManyChanges(std::size_t liveDocuments);
    void KeepChanged(const index::Batch& batch, int r, std::int64_t rowid, const index::Digest& digest);

    // The staging file as a copy of the live index; empty on success, else why the
    // copy cannot take the changes.
    QString OpenCopy(const QStringList& names);

    // The columns of "documents", the first one under the query's name for the key.
    QStringList LiveColumns();

public:
    void Status(const QString& text);

private:
    // FTS5 settings that change how the index is written, not what it holds. Older
    // SQLite versions lack some of them; the build then goes on at their defaults.
    void Tune(const char* const* statements);
    void CreateIndex(const QStringList& names);
    void SetColumnWeights(const QStringList& names, const QStringList& stored);
    QString ColumnsRefusal(const QStringList& names);
    void OpenStaging(int flags);

    // The first parameter is the rowid: NULL takes a new one.
    void PrepareInsert(const QStringList& names);
    QString Tokenizer() const;
    void WriteInfo(const QStringList& names);
    // One row of index_info in the staging file.
    void SetInfo(const char* name, const QString& value);
    QString WriteError() const;
    void Exec(const char* sql);

    // A statement that may take seconds (commit, optimize) keeps the dialog
    // responsive and can be stopped. False when it was stopped.
    bool RunUntilDone(const char* sql);

    // An exception must not cross the C library; it is raised again after the statement.
    static int OnProgress(void* self);

public:
    // Lets the dialog handle its events when it is due; false when the build is stopped.
    bool Pump(Clock::time_point now = Clock::now());

private:
    // After each document: the status at its rate, the events at theirs.
    bool Tick();
    QString Progress(Clock::time_point now);

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

}  // namespace zarvik::index
