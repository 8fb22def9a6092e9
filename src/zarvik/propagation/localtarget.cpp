// LocalTarget: each file goes through a durable replacement and is compared with
// the source before it takes the old file's place.
#include "zarvik/propagation/localtarget.h"

#include <QDir>

#include "component/error.h"
#include "zarvik/files/durablefile.h"
#include "zarvik/files/eventlog.h"
#include "zarvik/files/ownership.h"

namespace zarvik::propagation {
namespace {

// Compares a copy with what was read from the source while it was written, then
// checks a database with quick_check. The empty text when it may go in place.
QString VerifyCopy(const QString& copy, const QString& source, qint64 size, const QByteArray& digest) {
    qint64 copySize = 0;
    QByteArray copyDigest;
    if (QString why = Digest(copy, &copySize, &copyDigest); !why.isEmpty()) return why;
    if (copySize != size)
        return QStringLiteral(
                   "the copy has %1 bytes, the index file %2 has %3; the copy was not put in place")
            .arg(QString::number(copySize), source, QString::number(size));
    if (copyDigest != digest)
        return QStringLiteral(
                   "the copy differs from the index file %1 (SHA-256 %2, expected %3); "
                   "the copy was not put in place")
            .arg(source, Hex(copyDigest), Hex(digest));
    if (IsDatabase(source)) {
        if (QString why = QuickCheck(copy); !why.isEmpty())
            return QStringLiteral(
                       "the copy of %1 fails PRAGMA quick_check (%2); the copy was not put in place")
                .arg(source, why);
    }
    return {};
}

// The copy is in place all the same; readers that need the owner or group it could not
// get are the administrator's to look after.
void WarnUnlessOwned(const QString& why) {
    if (why.isEmpty()) return;
    try {
        files::WriteEvent(QStringLiteral("ZarvikIndexing.IndexPropagator"), why, 1);
    } catch (const component::Error&) {
        // Only the warning is lost.
    }
}

// Copies one file to `to` through a durable replacement: `to` is always the old or
// the new complete file, and the new one only once it has been verified.
QString CopyLocalFile(const QString& from, const QString& to, const Target& target, CopyProgress& progress) {
    files::DurableFile out(to, kCopyMarker);
    if (QString why = out.Open(); !why.isEmpty()) return why;
    qint64 size = 0;
    QByteArray digest;
    const auto write = [&](const char* data, qint64 n) {
        QString why = out.Write(data, n);
        progress.bytes += n;
        progress.sent += n;
        return why;
    };
    if (QString why = ReadHashed(from, write, &size, &digest); !why.isEmpty()) return why;
    return out.Commit([&](const QString& temporary) {
        CopyArrived(target.Text(), temporary);
        QString why = VerifyCopy(temporary, from, size, digest);
        if (why.isEmpty()) WarnUnlessOwned(files::InheritOwnership(temporary, out.Target()));
        return why;
    });
}

}  // namespace

std::unique_ptr<Target> LocalTarget::Read(const QString& text, QString* why) {
    if (text.trimmed().isEmpty()) {
        *why = RefuseTarget(text, QStringLiteral("it names no folder"));
        return nullptr;
    }
    return std::make_unique<LocalTarget>(text, QDir(text).absolutePath());
}

QString LocalTarget::Check(IndexSource& source) {
    if (m_folder == source.Folder().absolutePath())
        return QStringLiteral("the target is the index folder itself");
    return {};
}

QString LocalTarget::Copy(const IndexSource& source, CopyProgress& progress) {
    if (const QString why = files::MakeFolderForReaders(m_folder); !why.isEmpty())
        return QStringLiteral("the folder %1 cannot be created: %2").arg(m_folder, why);
    // A propagation killed half-way leaves its temporary copy behind, as
    // large as the index; copies of a process still running are left to it.
    files::RemoveLeftBehind(m_folder, kCopyMarker);
    for (const auto& [name, path] : source.Files()) {
        const QString to = m_folder + QLatin1Char('/') + name;
        if (QString why = CopyLocalFile(path, to, *this, progress); !why.isEmpty()) return why;
    }
    return {};
}

}  // namespace zarvik::propagation
