// The files beside a live index: the staging file, the live index's documents and
// index_info, and keeping the live index as the previous one.
#include "zarvik/index/indexfiles.h"

#include <sqlite3.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "zarvik/files/durablefile.h"
#include "zarvik/files/ownership.h"
#include "zarvik/files/sha256.h"

namespace zarvik::index {
namespace {

// Large enough that the system calls cost nothing beside the hashing.
constexpr qint64 kChunk = 1 << 20;

using files::Sha256;

// Copies from `in` to `out` when it is open, hashing what it reads; false when a read
// or a write failed.
bool HashAndCopy(QFile& in, QFile* out, Sha256& hash) {
    QByteArray chunk(kChunk, Qt::Uninitialized);
    for (qint64 n = 0; (n = in.read(chunk.data(), kChunk)) != 0;) {
        if (n < 0 || (out && out->write(chunk.constData(), n) != n)) return false;
        hash.Add(QByteArrayView(chunk.constData(), n));
    }
    return !out || out->flush();
}

}  // namespace

void RemoveStaging(const QString& staging) {
    QFile::remove(staging);
    QFile::remove(staging + QStringLiteral("-journal"));
    QFile::remove(staging + QStringLiteral("-compact"));
}

std::optional<std::int64_t> LiveDocuments(const QString& live) {
    if (!QFileInfo::exists(live)) return std::nullopt;
    sqlite3* db = nullptr;
    std::optional<std::int64_t> n;
    if (sqlite3_open_v2(QFile::encodeName(live).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM documents", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            n = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return n;
}

std::optional<QHash<QString, QString>> ReadIndexInfo(const QString& file) {
    sqlite3* db = nullptr;
    std::optional<QHash<QString, QString>> info;
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT name, value FROM index_info", -1, &stmt, nullptr) == SQLITE_OK) {
            info.emplace();
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
                info->insert(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))),
                             QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1))));
            if (rc != SQLITE_DONE) info.reset();
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return info;
}

std::int32_t LiveCount(const QString& live) {
    return std::int32_t(std::min<std::int64_t>(LiveDocuments(live).value_or(0), INT32_MAX));
}

QString KeepPrevious(const QString& live, const QString& previous) {
    if (!QFileInfo::exists(live)) return {};
    const QString temporary = previous + QStringLiteral(".tmp");
    QFile::remove(temporary);
    if (::link(QFile::encodeName(live).constData(), QFile::encodeName(temporary).constData()) != 0) {
        // A file system without hard links: a copy does as well, only slower.
        if (!QFile::copy(live, temporary))
            return QStringLiteral("unable to copy %1 to %2").arg(live, temporary);
        // Put back by hand, the previous index is read as the live one was. What cannot
        // be given is told for the live index itself.
        files::InheritOwnership(temporary, live);
        if (QString why = files::SyncToDisk(temporary); !why.isEmpty()) {
            QFile::remove(temporary);
            return why;
        }
    }
    if (QString why = files::DurableRename(temporary, previous); !why.isEmpty()) {
        QFile::remove(temporary);
        return why;
    }
    // When the previous index already was the live one (a build killed between its two
    // renames), rename() of one name of a file over another does nothing and leaves the
    // temporary name; removing it leaves the file under its other names.
    QFile::remove(temporary);
    return {};
}

QString RecordedHashPath(const QString& live) {
    return live + QStringLiteral(".sha256");
}

QByteArray RecordedHash(const QString& live) {
    QFile file(RecordedHashPath(live));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray hash = QByteArray::fromHex(file.read(128).trimmed());
    return hash.size() == 32 ? hash : QByteArray();
}

QString RecordHash(const QString& live, const QByteArray& sha256) {
    files::DurableFile file(RecordedHashPath(live), QStringLiteral(".tmp"));
    if (QString why = file.Open(); !why.isEmpty()) return why;
    if (QString why = file.Write(sha256.toHex() + '\n'); !why.isEmpty()) return why;
    return file.Commit();
}

QByteArray CopyHashing(const QString& from, const QString& to) {
    QFile in(from);
    QFile out(to);
    Sha256 hash;
    const bool ok = in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    HashAndCopy(in, &out, hash);
    out.close();
    if (!ok) QFile::remove(to);
    return ok ? hash.Result() : QByteArray();
}

QByteArray Sha256OfFile(const QString& file) {
    QFile in(file);
    Sha256 hash;
    return in.open(QIODevice::ReadOnly) && HashAndCopy(in, nullptr, hash) ? hash.Result() : QByteArray();
}

}  // namespace zarvik::index
