// rclone copyto, cat, moveto, lsjson and deletefile through the one runner of helper
// programs, so a killed publish or pull leaves no transfer behind.
#include "zarvik/store/rclonestore.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>
#include <optional>

#include "zarvik/files/filelock.h"
#include "zarvik/process/process.h"
#include "zarvik/store/manifest.h"

namespace zarvik::store {
namespace {

// rclone's exit statuses for a folder and for a file that do not exist.
constexpr int kDirectoryNotFound = 3;
constexpr int kFileNotFound = 4;

struct Outcome {
    int exitCode = -1;
    QString error;  // rclone's own reason, or why it did not run
};

// rclone's reason from its standard error: the last message it logged (a dated line
// and the lines under it, such as S3's "status code: 403"), without the date, the
// level and the request and host ids, which tell a reader nothing.
QString Reason(const QByteArray& standardError, int exitCode) {
    static const QRegularExpression dated(
        QStringLiteral("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d (?:[A-Z]+ *: )?"));
    static const QRegularExpression ids(QStringLiteral(",? *(?:request|host) id:[^,;]*"));
    QStringList message;
    bool logged = false;  // undated text before any message is a usage complaint: its first line
    for (const QString& raw : QString::fromLocal8Bit(standardError).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        const QRegularExpressionMatch stamp = dated.match(line);
        if (stamp.hasMatch()) {
            message = QStringList{line.mid(stamp.capturedLength())};
            logged = true;
        } else if (!line.isEmpty() && (logged || message.isEmpty())) {
            message << line;
        }
    }
    QString reason = message.join(QStringLiteral("; ")).remove(ids);
    while (reason.endsWith(QLatin1Char(':')) || reason.endsWith(QLatin1Char(';')) ||
           reason.endsWith(QLatin1Char(' ')))
        reason.chop(1);
    reason.replace(QStringLiteral(":;"), QStringLiteral(";"));
    return reason.isEmpty() ? QStringLiteral("rclone ended with status %1").arg(exitCode) : reason;
}

// Runs rclone; its standard output goes to `into` (refused past maxBytes) when given.
Outcome RunRclone(const QStringList& arguments, QIODevice* into = nullptr, qint64 maxBytes = 0,
                  qint64* received = nullptr) {
    const QStringList common = {QStringLiteral("--retries"),
                                QStringLiteral("1"),
                                QStringLiteral("--low-level-retries"),
                                QStringLiteral("2"),
                                QStringLiteral("--contimeout"),
                                QStringLiteral("10s"),
                                QStringLiteral("-q")};
    qint64 total = 0;
    QString refusal;
    const process::Outcome run =
        process::Run(QStringLiteral("rclone"), common + arguments, [&](const QByteArray& piece) {
            total += piece.size();
            if (!into) return true;
            if (total > maxBytes)
                refusal = QStringLiteral("the object is larger than %1 bytes").arg(maxBytes);
            else if (into->write(piece) != piece.size())
                refusal = QStringLiteral("cannot write what arrived: ") + into->errorString();
            return refusal.isEmpty();
        });
    if (!run.started) return {-1, QStringLiteral("rclone cannot be started: ") + run.why};
    if (run.refused) return {-1, refusal};
    if (received) *received = total;
    if (run.exitCode != 0 || !run.why.isEmpty())
        return {run.exitCode, run.why.isEmpty() ? Reason(run.standardError, run.exitCode) : run.why};
    return {0, {}};
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

// A remote's object is read with one request: `cat REMOTE:PATH/NAME` would first ask
// whether NAME is a file and list PATH, three requests an object. rclone reads the
// name from a file without a name, which the child opens through this process.
qint64 RcloneStore::Fetch(const QString& name, qint64 maxBytes, QIODevice& into) {
    qint64 received = 0;
    if (m_path.startsWith(QLatin1Char('/'))) {
        const Outcome outcome =
            RunRclone({QStringLiteral("cat"), ObjectPath(name)}, &into, maxBytes, &received);
        if (outcome.exitCode != 0) Fail(name, m_path, outcome);
        return received;
    }
    const int list = ::memfd_create("rclone-files", MFD_CLOEXEC);
    const QByteArray line = name.toUtf8() + '\n';
    if (list < 0 || ::write(list, line.constData(), size_t(line.size())) != line.size()) {
        if (list >= 0) ::close(list);
        Refuse(name, QStringLiteral("cannot hand its name to rclone: ") +
                         QString::fromLocal8Bit(std::strerror(errno)));
    }
    const QString listPath = QStringLiteral("/proc/%1/fd/%2").arg(::getpid()).arg(list);
    const Outcome outcome =
        RunRclone({QStringLiteral("cat"), QStringLiteral("--files-from-raw"), listPath,
                   QStringLiteral("--no-traverse"), QStringLiteral("--s3-no-head-object"), m_path},
                  &into, maxBytes, &received);
    ::close(list);
    if (outcome.exitCode != 0) Fail(name, m_path, outcome);
    // Read this way, a missing object is no error but nothing; no object of a store is empty.
    if (received == 0) Fail(name, m_path, {0, QStringLiteral("the object does not exist")});
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
    if (!m_path.startsWith(QLatin1Char('/'))) {
        // No check by rclone after the upload: it would read the object back, find
        // another writer's copy there and delete it. ReplaceIf reads it back itself.
        const Outcome outcome = RunRclone({QStringLiteral("copyto"), QStringLiteral("--ignore-times"),
                                           QStringLiteral("--ignore-checksum"),
                                           QStringLiteral("--s3-no-head"), localPath, ObjectPath(name)});
        if (outcome.exitCode != 0) Fail(name, m_path, outcome);
        return;
    }
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
    std::optional<files::FileLock> folder;
    if (local) {
        folder.emplace(m_path, files::FileLock::Wait::kYes, false);
        if (!folder->Held())
            Refuse(m_path, QStringLiteral("cannot lock the store's folder: ") + folder->Why());
    }
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
    for (const auto& entry : QJsonDocument::fromJson(listing.data()).array()) {
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
