// IndexPropagator: copies a built index folder to its targets, several at a time,
// and puts each copy in place only after it has been compared with the source.
#include "zarvik/propagation/targetpropagator.h"

#include <QDir>
#include <QSet>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zarvik/files/eventlog.h"
#include "zarvik/propagation/target.h"

namespace zarvik::propagation {
namespace {

using Clock = std::chrono::steady_clock;
const QString kSource = QStringLiteral("ZarvikIndexing.IndexPropagator");
constexpr std::chrono::milliseconds kEventsEvery{25};
constexpr std::chrono::milliseconds kStatusEvery{250};

struct Job {
    QString text;
    std::unique_ptr<Target> target;  // null for a refused text
    QString why;
    bool run = true;  // false for a refused text or a repeated target
    CopyProgress progress;
};
using Jobs = std::vector<std::unique_ptr<Job>>;

// Why a target that was read cannot take the index; empty when it can.
QString WhyNotRun(Target& target, IndexSource& source) {
    if (!source.HasIndex())
        return QStringLiteral("there is no index at %1")
            .arg(source.Folder().absoluteFilePath(QStringLiteral("index.db")));
    return target.Check(source);
}

// Every text is read, and the hostile ones refused, before any copy starts.
Jobs ReadTargets(const QStringList& targets, IndexSource& source) {
    Jobs jobs;
    QSet<QString> seen;
    for (const QString& text : targets) {
        auto job = std::make_unique<Job>();
        job->text = text;
        job->target = ReadTarget(text, &job->why);
        if (job->target) job->why = WhyNotRun(*job->target, source);
        if (!job->why.isEmpty()) {
            job->run = false;
        } else {
            // The same place twice would have two copies race for one file.
            const QString place = job->target->Place();
            if (seen.contains(place)) job->run = false;
            seen.insert(place);
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

// Runs the jobs on at most kParallelTargets threads while the calling thread keeps
// the status handler going. The status handler is the dialog: it is called from
// this thread only, while the copies run on theirs.
class TargetPool {
public:
    TargetPool(Jobs& jobs, std::function<void(Job&)> copy, component::StatusHandler* statusHandler,
               qsizetype targetCount)
        : m_jobs(jobs), m_copy(std::move(copy)), m_statusHandler(statusHandler), m_targetCount(targetCount) {}

    void Run() {
        for (const auto& job : m_jobs) m_done += job->run ? 0 : 1;
        // The first line is shown before any copy starts.
        int shownDone = m_done;
        auto lastStatus = m_start;
        if (m_statusHandler) Show(shownDone, m_start);
        size_t toRun = 0;
        for (const auto& job : m_jobs) toRun += job->run ? 1 : 0;
        std::vector<std::thread> workers;
        for (size_t i = 0; i < std::min<size_t>(TargetPropagator::kParallelTargets, toRun); ++i)
            workers.emplace_back([this] { Work(); });
        while (shownDone < int(m_jobs.size())) {
            const int doneNow = WaitForChange(shownDone);
            if (m_statusHandler) {
                const auto now = Clock::now();
                if (doneNow != shownDone || now - lastStatus >= kStatusEvery) {
                    Show(doneNow, now);
                    lastStatus = now;
                }
                m_statusHandler->ProcessEvents();
            }
            shownDone = doneNow;
            if (doneNow >= int(m_jobs.size())) break;
        }
        for (std::thread& worker : workers) worker.join();
    }

private:
    void Work() {
        for (;;) {
            const size_t i = m_next++;
            if (i >= m_jobs.size()) return;
            Job& job = *m_jobs[i];
            if (!job.run) continue;
            m_copy(job);
            const std::lock_guard lock(m_mutex);
            ++m_done;
            m_changed.notify_all();
        }
    }

    // The number of finished jobs once it differs from `shownDone`, or after a while.
    int WaitForChange(int shownDone) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, kEventsEvery, [&] { return m_done != shownDone; });
        return m_done;
    }

    void Show(int doneNow, Clock::time_point now) {
        qint64 bytes = 0;
        for (const auto& job : m_jobs) bytes += job->progress.bytes.load();
        const double seconds = std::chrono::duration<double>(now - m_start).count();
        const qint64 rate = seconds > 0 ? qint64(std::llround(double(bytes) / 1e6 / seconds)) : 0;
        m_statusHandler->UpdateStatus(QStringLiteral("Propagating: %1 of %2 targets done, %3 MB/s")
                                          .arg(doneNow)
                                          .arg(m_targetCount)
                                          .arg(rate));
    }

    Jobs& m_jobs;
    const std::function<void(Job&)> m_copy;
    component::StatusHandler* const m_statusHandler;
    const qsizetype m_targetCount;
    const Clock::time_point m_start = Clock::now();
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<size_t> m_next{0};
    int m_done = 0;
};

// Every failed target gets its entry even when an earlier entry could not be
// written; the result is false either way, so nothing is lost by going on.
// Returns the number of failed targets.
// Warnings of targets that did not fail are entries of their own, as warnings.
int LogFailures(const Jobs& jobs, const QString& indexPath) {
    int failures = 0;
    const auto log = [&](const QString& text, std::int32_t type) {
        try {
            files::WriteEvent(kSource, text, type);
        } catch (const component::Error&) {
        }
    };
    for (const auto& job : jobs) {
        const QString where = job->target ? job->target->Describe() : PrintableTargetText(job->text);
        const QString index = QDir(indexPath).absolutePath();
        for (const QString& warning : job->progress.warnings)
            log(QStringLiteral("Propagating the index %1 to %2: %3").arg(index, where, warning), 1);
        if (job->why.isEmpty()) continue;
        ++failures;
        log(QStringLiteral("Propagating the index %1 to %2 failed: %3").arg(index, where, job->why), 0);
    }
    return failures;
}

QString Outcome(int failures, qsizetype targetCount) {
    if (failures == 0)
        return QStringLiteral("Propagation finished: %1 %2")
            .arg(targetCount)
            .arg(targetCount == 1 ? QStringLiteral("target") : QStringLiteral("targets"));
    return QStringLiteral("Propagation failed for %1 of %2 targets").arg(failures).arg(targetCount);
}

}  // namespace

bool TargetPropagator::Propagate(const component::IndexSettings& settings) {
    m_failedTargets = 0;
    m_bytesSent.clear();
    const QString& indexPath = settings.path;
    const QStringList& targets = settings.targets;
    IndexSource source(settings);
    Jobs jobs = ReadTargets(targets, source);
    const auto copy = [&](Job& job) { job.why = job.target->Copy(source, job.progress); };
    TargetPool(jobs, copy, m_statusHandler, targets.size()).Run();

    const int failures = LogFailures(jobs, indexPath);
    if (m_statusHandler) m_statusHandler->UpdateStatus(Outcome(failures, targets.size()));
    m_failedTargets = failures;
    for (const auto& job : jobs)
        if (job->run && job->why.isEmpty())
            m_bytesSent.append(
                {PrintableTargetText(job->text), job->progress.sent.load(), job->progress.published});
    return failures == 0;
}

}  // namespace zarvik::propagation
