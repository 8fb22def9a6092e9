// IndexBuilder: builds one SQLite FTS5 index from a document query. This file holds
// the steps around the filling: the lock, the checks, putting the new index in place
// and the reports; the filling itself is in buildrun.cpp and changesbuild.cpp.
#include "zarvik/index/fts5indexbuilder.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>

#include "zarvik/files/durablefile.h"
#include "zarvik/files/eventlog.h"
#include "zarvik/files/filelock.h"
#include "zarvik/files/ownership.h"
#include "zarvik/index/buildrun.h"
#include "zarvik/index/indexfiles.h"
#include "zarvik/index/indexlog.h"
#include "zarvik/index/verification.h"

namespace zarvik::index {
namespace {

using component::Error;
namespace errnum = component::errnum;

const QString kSource = QStringLiteral("ZarvikIndexing.IndexBuilder");

// One build of an index at a time, across processes; released when its holder dies,
// so a killed build never leaves the index locked.
class IndexLock {
public:
    IndexLock(const QString& folder, const QString& indexName)
        : m_lock(folder + QStringLiteral("/index.lock")) {
        const QString path = folder + QStringLiteral("/index.lock");
        if (m_lock.Busy())
            throw Error(
                errnum::kIndexLocked, kSource,
                QStringLiteral("The index \"%1\" is being built by another process at the moment (%2 is "
                               "locked). Please try again when that build has ended.")
                    .arg(indexName, path));
        if (!m_lock.Held()) FailBuild(QStringLiteral("Unable to lock %1: %2").arg(path, m_lock.Why()));
    }

private:
    files::FileLock m_lock;
};

std::function<void(const QString&)>& StagingHook() {
    static std::function<void(const QString&)> hook;
    return hook;
}

}  // namespace

void FailBuild(const QString& message) {
    throw Error(errnum::kIndexBuild, kSource, message);
}

void Fts5IndexBuilder::Configure(component::StatusHandler* statusHandler,
                                 std::shared_ptr<component::SearchEngine> engine,
                                 const component::IndexSettings& settings, const QString& connectionText) {
    m_statusHandler = statusHandler;
    m_engine = std::move(engine);
    m_settings = settings;
    m_connectionText = connectionText;
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
    if (m_settings.path.trimmed().isEmpty())
        FailBuild(
            QStringLiteral("The index \"%1\" has no index path: its <IndexPath> in IndexConfiguration.xml "
                           "is missing or empty.")
                .arg(m_settings.name));
    const QString folder = QDir(m_settings.path).absolutePath();
    if (const QString why = files::MakeFolderForReaders(folder); !why.isEmpty())
        FailBuild(QStringLiteral("Unable to create the index folder %1: %2.").arg(folder, why));
    const Files files(folder);
    m_lastBuild = {};

    IndexLock lock(folder, m_settings.name);
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
    AppendIndexLog(run.m_logPath, m_settings.name, QStringLiteral("finished"),
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
    IndexVerification checks(files.staging, run.Rows(), LiveDocuments(files.live), m_settings.verify,
                             [&run] { return run.Pump(); });
    const auto outcome = checks.Run();
    if (outcome == IndexVerification::Outcome::kStopped) return false;
    if (outcome == IndexVerification::Outcome::kRefused) {
        refusal = checks.Refusal();
        return true;
    }
    if (const QString why = checks.Record(); !why.isEmpty())
        FailBuild(QStringLiteral("Writing the index %1 failed: %2").arg(files.staging, why));
    QStringList parts;
    for (const auto& [name, value] : checks.Figures()) parts << name + QStringLiteral(": ") + value;
    figures = parts.join(QStringLiteral("; "));
    return true;
}

// The synced staging file replaces the live index, which is kept as the previous one.
// It gets the live index's owner, group and mode first (synced with it), so that the
// readers of the index read the new one.
void Fts5IndexBuilder::PutInPlace(const Files& files) {
    if (const QString why = files::InheritOwnership(files.staging, files.live); !why.isEmpty()) {
        try {
            files::WriteEvent(kSource, why, 1);
        } catch (const component::Error&) {
            // The build goes on; the event log is the only place it could be told.
        }
    }
    if (const QString why = files::SyncToDisk(files.staging); !why.isEmpty())
        FailBuild(QStringLiteral("Unable to write %1 to disk: %2").arg(files.staging, why));
    if (const QString why = KeepPrevious(files.live, files.previous); !why.isEmpty())
        FailBuild(QStringLiteral("Unable to keep %1 as %2: %3").arg(files.live, files.previous, why));
    if (const QString why = files::DurableRename(files.staging, files.live); !why.isEmpty())
        FailBuild(QStringLiteral("Unable to put the new index in place of %1: %2").arg(files.live, why));
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
    AppendIndexLog(run.m_logPath, m_settings.name, QStringLiteral("failed"),
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
    AppendIndexLog(run.m_logPath, m_settings.name, QStringLiteral("aborted"),
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
    AppendIndexLog(run.m_logPath, m_settings.name, QStringLiteral("refused"),
                   QStringLiteral("%1 Refused index: %2").arg(refusal, kept));
    run.Status(
        QStringLiteral("Indexing refused: the new index of %1 documents failed a check").arg(run.Rows()));
    throw Error(errnum::kIndexRefused, kSource, refusal);
}

}  // namespace zarvik::index
