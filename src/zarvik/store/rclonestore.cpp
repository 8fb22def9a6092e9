// rclone copyto, cat, moveto, lsjson and deletefile from an argument vector; the child
// dies with the thread that started it, so a killed publish leaves no upload behind.
#include "zarvik/store/rclonestore.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <cerrno>
#include <cstring>

#include "zarvik/store/manifest.h"

namespace zarvik::store {
namespace {

// rclone's exit statuses for a folder and for a file that do not exist.
constexpr int kDirectoryNotFound = 3;
constexpr int kFileNotFound = 4;

struct Outcome {
    int exitCode = -1;
    QString error;  // rclone's last line of standard error, or why it did not run
};

// Runs rclone; its standard output goes to `into` (refused past maxBytes) when given.
Outcome RunRclone(const QStringList& arguments, QIODevice* into = nullptr, qint64 maxBytes = 0,
                  qint64* received = nullptr) {
    QProcess process;
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.setStandardInputFile(QProcess::nullDevice());
    const QStringList common = {QStringLiteral("--retries"),
                                QStringLiteral("1"),
                                QStringLiteral("--low-level-retries"),
                                QStringLiteral("2"),
                                QStringLiteral("--contimeout"),
                                QStringLiteral("10s"),
                                QStringLiteral("-q")};
    process.start(QStringLiteral("rclone"), common + arguments);
    if (!process.waitForStarted(-1))
        return {-1, QStringLiteral("rclone cannot be started: ") + process.errorString()};
    qint64 total = 0;
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(1000);
        const QByteArray chunk = process.readAllStandardOutput();
        total += chunk.size();
        if (into && total > maxBytes) {
            process.kill();
            process.waitForFinished(-1);
            return {-1, QStringLiteral("the object is larger than %1 bytes").arg(maxBytes)};
        }
        if (into && into->write(chunk) != chunk.size()) {
            process.kill();
            process.waitForFinished(-1);
            return {-1, QStringLiteral("cannot write what arrived: ") + into->errorString()};
        }
    }
    const QByteArray rest = process.readAllStandardOutput();
    total += rest.size();
    if (into && (total > maxBytes || into->write(rest) != rest.size()))
        return {-1, QStringLiteral("the object is larger than %1 bytes").arg(maxBytes)};
    if (received) *received = total;
    const QStringList lines =
        QString::fromLocal8Bit(process.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return {code, lines.isEmpty() ? QStringLiteral("rclone ended with status %1").arg(code)
                                  : lines.last().trimmed()};
}

[[noreturn]] void Fail(const QString& what, const QString& store, const Outcome& outcome) {
    Refuse(what, QStringLiteral("in the store %1: %2").arg(store, outcome.error));
}

}  // namespace

void CheckRclonePath(const QString& path) {
    static const QRegularExpression remote(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_. -]*:[^\\x00-\\x1f]*$"));
    const bool local = path.startsWith(QLatin1Char('/'));
    if (path.isEmpty() || (!local && !remote.match(path).hasMatch()) ||
        path.contains(QRegularExpression("[\\x00-\\x1f]"))) {
        // Named with its control characters written out, so that the message stays one line.
        QString shown;
        for (const QChar c : path)
            shown += c.unicode() < 0x20 ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                                        : QString(c);
        Refuse(shown, QStringLiteral("a store is REMOTE:PATH or an absolute folder"));
    }
}

QString RcloneStore::ObjectPath(const QString& name) const {
    return m_path.endsWith(QLatin1Char(':')) || m_path.endsWith(QLatin1Char('/'))
               ? m_path + name
               : m_path + QLatin1Char('/') + name;
}

qint64 RcloneStore::Fetch(const QString& name, qint64 maxBytes, QIODevice& into) {
    qint64 received = 0;
    const Outcome outcome = RunRclone({QStringLiteral("cat"), ObjectPath(name)}, &into, maxBytes, &received);
    if (outcome.exitCode != 0) Fail(name, m_path, outcome);
    return received;
}

void RcloneStore::Upload(const QString& localPath, const QString& name) {
    const Outcome outcome =
        RunRclone({QStringLiteral("copyto"), QStringLiteral("--ignore-times"), localPath, ObjectPath(name)});
    if (outcome.exitCode != 0) Fail(name, m_path, outcome);
}

// In a folder the new object goes up under a name of this replacement's own, then is
// renamed over the old one, so that a reader never reads a part. An object store's
// upload is all-or-nothing already; a server-side move there would be a copy that
// rclone checks afterwards and deletes when another writer's copy landed meanwhile,
// leaving no object at all.
void RcloneStore::Replace(const QString& localPath, const QString& name) {
    if (!m_path.startsWith(QLatin1Char('/'))) return Upload(localPath, name);
    const QString upcoming =
        name + QStringLiteral(".new-") + QString::number(QRandomGenerator::system()->generate64(), 16);
    Upload(localPath, upcoming);
    const Outcome outcome = RunRclone(
        {QStringLiteral("moveto"), QStringLiteral("--ignore-times"), ObjectPath(upcoming), ObjectPath(name)});
    if (outcome.exitCode != 0) Fail(name, m_path, outcome);
}

QByteArray RcloneStore::FetchIfPresent(const QString& name, qint64 maxBytes) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const Outcome outcome = RunRclone({QStringLiteral("cat"), ObjectPath(name)}, &buffer, maxBytes);
    if (outcome.exitCode == kDirectoryNotFound || outcome.exitCode == kFileNotFound) return {};
    if (outcome.exitCode != 0) Fail(name, m_path, outcome);
    return buffer.data();
}

// A folder on this machine is locked while `name` is read and replaced, so that two
// publishers here take turns; rclone offers no conditional write to a remote, so there
// the object is read just before and just after, which leaves only the moment between
// the two for another writer.
bool RcloneStore::ReplaceIf(const QString& localPath, const QString& name, const QByteArray& expected,
                            QByteArray* found) {
    const bool local = m_path.startsWith(QLatin1Char('/'));
    const int folder =
        local ? ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (local && (folder < 0 || ::flock(folder, LOCK_EX) != 0)) {
        if (folder >= 0) ::close(folder);
        Refuse(m_path, QStringLiteral("cannot lock the store's folder: ") +
                           QString::fromLocal8Bit(std::strerror(errno)));
    }
    const auto unlock = qScopeGuard([folder] {
        if (folder >= 0) ::close(folder);
    });
    *found = FetchIfPresent(name, kMaxCurrentBytes);
    if (*found != expected) return false;
    Replace(localPath, name);
    if (local) return true;
    QFile mine(localPath);
    *found = FetchIfPresent(name, kMaxCurrentBytes);
    return mine.open(QIODevice::ReadOnly) && mine.readAll() == *found;
}

QList<ObjectInfo> RcloneStore::List() {
    QBuffer listing;
    listing.open(QIODevice::WriteOnly);
    const Outcome outcome =
        RunRclone({QStringLiteral("lsjson"), QStringLiteral("--files-only"), m_path}, &listing, 64 << 20);
    if (outcome.exitCode == kDirectoryNotFound) return {};
    if (outcome.exitCode != 0) Fail(QStringLiteral("the listing"), m_path, outcome);
    QList<ObjectInfo> objects;
    for (const QJsonValue& entry : QJsonDocument::fromJson(listing.data()).array()) {
        const QJsonObject o = entry.toObject();
        objects.append(
            {o.value(QStringLiteral("Name")).toString(), qint64(o.value(QStringLiteral("Size")).toDouble())});
    }
    return objects;
}

void RcloneStore::Delete(const QString& name) {
    const Outcome outcome = RunRclone({QStringLiteral("deletefile"), ObjectPath(name)});
    if (outcome.exitCode != 0) Fail(name, m_path, outcome);
}

}  // namespace zarvik::store
