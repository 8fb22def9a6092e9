// What local and remote copies share: the source files' size, SHA-256 and
// quick_check, and the test hook that sees each copy arrive.
#include "zarvik/propagation/copychecks.h"

#include <sqlite3.h>

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <mutex>
#include <vector>

#include "zarvik/files/indexcheck.h"
#include "zarvik/files/sha256.h"
#include "zarvik/propagation/targetpropagator.h"

namespace zarvik::propagation {
namespace {

std::mutex g_hookMutex;
std::function<void(const QString&, const QString&)> g_copyArrived;

}  // namespace

void CopyArrived(const QString& target, const QString& copyPath) {
    std::function<void(const QString&, const QString&)> hook;
    {
        const std::lock_guard lock(g_hookMutex);
        hook = g_copyArrived;
    }
    if (hook) hook(target, copyPath);
}

void SetCopyArrivedHookForTesting(std::function<void(const QString& target, const QString& copyPath)> hook) {
    const std::lock_guard lock(g_hookMutex);
    g_copyArrived = std::move(hook);
}

bool IsDatabase(const QString& name) {
    return name.endsWith(QLatin1String(".db"));
}

QString QuickCheck(const QString& path) {
    const QByteArray uri =
        "file:" + QUrl::toPercentEncoding(QFileInfo(path).absoluteFilePath(), "/") + "?mode=ro&immutable=1";
    sqlite3* db = nullptr;
    QString why;
    if (sqlite3_open_v2(uri.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        why = QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return why;
    }
    why = files::QuickCheck(db);
    sqlite3_close(db);
    return why;
}

QString Hex(const QByteArray& digest) {
    return QString::fromLatin1(digest.toHex());
}

QString ReadHashed(const QString& path, const TakePiece& take, qint64* size, QByteArray* digest) {
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, in.errorString());
    files::Sha256 hash;
    std::vector<char> buffer(kBufferSize);
    *size = 0;
    for (;;) {
        const qint64 n = in.read(buffer.data(), qint64(buffer.size()));
        if (n < 0) return QStringLiteral("cannot read %1: %2").arg(path, in.errorString());
        if (n == 0) break;
        hash.Add(QByteArrayView(buffer.data(), n));
        if (take) {
            if (QString why = take(buffer.data(), n); !why.isEmpty()) return why;
        }
        *size += n;
    }
    *digest = hash.Result();
    return {};
}

QString Digest(const QString& path, qint64* size, QByteArray* digest) {
    return ReadHashed(path, {}, size, digest);
}

}  // namespace zarvik::propagation
