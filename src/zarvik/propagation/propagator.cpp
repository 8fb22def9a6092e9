// IndexPropagator: copies a built index folder to its targets.
#include "zarvik/propagation/propagator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <functional>
#include <vector>

#include "zarvik/durablefile.h"
#include "zarvik/eventlog.h"

namespace zarvik {
namespace {

using Clock = std::chrono::steady_clock;
const QString kSource = QStringLiteral("ZarvikIndexing.IndexPropagator");
constexpr std::chrono::milliseconds kEventsEvery{25};
const QString kCopyMarker = QStringLiteral(".propagating-");

// The files that make up an index: not the build's lock, its staging file, a journal
// that a reader may have left, or the previous and refused indexes kept beside it.
bool IsIndexFile(const QString& name) {
    return name != QLatin1String("index.lock") && !name.endsWith(QLatin1String(".staging")) &&
           !name.endsWith(QLatin1String("-journal")) && !name.endsWith(QLatin1String("-wal")) &&
           !name.endsWith(QLatin1String("-shm")) && !name.contains(QLatin1String(".propagating")) &&
           !name.startsWith(QLatin1String("index.previous.db")) &&
           !name.startsWith(QLatin1String("index.rejected.db"));
}

// Copies one file to `to` through a durable replacement, so that `to` is always
// either the old or the new complete file. Returns the empty text on success, else
// the reason.
QString CopyFile(const QString& from, const QString& to, const std::function<void()>& pump) {
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) return QStringLiteral("cannot read %1: %2").arg(from, in.errorString());
    DurableFile out(to, kCopyMarker);
    if (QString why = out.Open(); !why.isEmpty()) return why;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const qint64 n = in.read(buffer.data(), qint64(buffer.size()));
        if (n < 0) return QStringLiteral("cannot read %1: %2").arg(from, in.errorString());
        if (n == 0) break;
        if (QString why = out.Write(buffer.data(), n); !why.isEmpty()) return why;
        pump();
    }
    return out.Commit();
}

}  // namespace

bool FolderPropagator::Propagate(const QString& indexPath, const QStringList& targets) {
    m_failedTargets = 0;
    const QDir source(indexPath);
    QStringList files;
    for (const QFileInfo& fi : source.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
        if (IsIndexFile(fi.fileName())) files << fi.fileName();
    }
    auto lastEvents = Clock::now();
    const auto pump = [&] {
        const auto now = Clock::now();
        if (m_statusHandler && now - lastEvents >= kEventsEvery) {
            lastEvents = now;
            m_statusHandler->ProcessEvents();
        }
    };

    // The event log is written once every target has been tried, so that a log that
    // cannot be written does not keep the index from the other targets.
    QList<std::pair<QString, QString>> failures;
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const QString target = QDir(targets[i]).absolutePath();
        if (m_statusHandler) {
            m_statusHandler->UpdateStatus(
                QStringLiteral("Propagating to %1 (%2 of %3)").arg(target).arg(i + 1).arg(targets.size()));
            lastEvents = Clock::now();
        }
        QString why;
        if (!files.contains(QStringLiteral("index.db"))) {
            why = QStringLiteral("there is no index at %1")
                      .arg(source.absoluteFilePath(QStringLiteral("index.db")));
        } else if (QDir(target).absolutePath() == source.absolutePath()) {
            why = QStringLiteral("the target is the index folder itself");
        } else if (!QDir().mkpath(target) || !QFileInfo(target).isDir()) {
            why = QStringLiteral("the folder %1 cannot be created").arg(target);
        } else {
            // A propagation killed half-way leaves its temporary copy behind, as large
            // as the index; copies of a process still running are left to it.
            RemoveLeftBehind(target, kCopyMarker);
            for (const QString& name : files) {
                why = CopyFile(source.absoluteFilePath(name), QDir(target).filePath(name), pump);
                if (!why.isEmpty()) break;
            }
        }
        if (!why.isEmpty()) failures.append({target, why});
        pump();
    }
    m_failedTargets = static_cast<std::int32_t>(failures.size());
    // Every failed target gets its entry even when an earlier entry could not be
    // written; the result is false either way, so nothing is lost by going on.
    for (const auto& [target, why] : failures) {
        try {
            WriteEvent(kSource,
                       QStringLiteral("Propagating the index %1 to %2 failed: %3")
                           .arg(QDir(indexPath).absolutePath(), target, why),
                       0);
        } catch (const component::Error&) {
        }
    }
    if (m_statusHandler) {
        m_statusHandler->UpdateStatus(
            failures.isEmpty()
                ? QStringLiteral("Propagation finished: %1 %2")
                      .arg(targets.size())
                      .arg(targets.size() == 1 ? QStringLiteral("target") : QStringLiteral("targets"))
                : QStringLiteral("Propagation failed for %1 of %2 targets")
                      .arg(failures.size())
                      .arg(targets.size()));
    }
    return failures.isEmpty();
}

}  // namespace zarvik
