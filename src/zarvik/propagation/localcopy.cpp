// Copying an index to a local folder: each file goes through a durable replacement
// and is compared with the source before it takes the old file's place.
#include "zarvik/propagation/localcopy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <vector>

#include "zarvik/files/durablefile.h"

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

// Copies one file to `to` through a durable replacement: `to` is always the old or
// the new complete file, and the new one only once it has been verified.
QString CopyLocalFile(const QString& from, const QString& to, const QString& targetText,
                      std::atomic<qint64>& bytes) {
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(from, in.errorString());
    files::DurableFile out(to, kCopyMarker);
    if (QString why = out.Open(); !why.isEmpty()) return why;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    qint64 size = 0;
    std::vector<char> buffer(kBufferSize);
    for (;;) {
        const qint64 n = in.read(buffer.data(), qint64(buffer.size()));
        if (n < 0) return QStringLiteral("cannot read %1: %2").arg(from, in.errorString());
        if (n == 0) break;
        hash.addData(QByteArrayView(buffer.data(), n));
        if (QString why = out.Write(buffer.data(), n); !why.isEmpty()) return why;
        size += n;
        bytes += n;
    }
    const QByteArray digest = hash.result();
    return out.Commit([&](const QString& temporary) {
        CopyArrived(targetText, temporary);
        return VerifyCopy(temporary, from, size, digest);
    });
}

}  // namespace

QString CopyToLocalFolder(const PropagationTarget& target, const SourceFiles& files,
                          std::atomic<qint64>& bytes) {
    if (!QDir().mkpath(target.path) || !QFileInfo(target.path).isDir())
        return QStringLiteral("the folder %1 cannot be created").arg(target.path);
    // A propagation killed half-way leaves its temporary copy behind, as
    // large as the index; copies of a process still running are left to it.
    files::RemoveLeftBehind(target.path, kCopyMarker);
    for (const auto& [name, path] : files) {
        if (QString why = CopyLocalFile(path, target.path + QLatin1Char('/') + name, target.text, bytes);
            !why.isEmpty())
            return why;
    }
    return {};
}

}  // namespace zarvik::propagation
