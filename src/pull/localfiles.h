// What a reader's folder holds (index.db, index.previous.db) and the record of the
// versions the agent installed there, kept in the folder's lock file; putting a new
// file in place.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <memory>

#include "zarvik/files/filelock.h"

namespace pull {

// A file of the folder and what the record says of it. Nothing the record says is
// trusted with the file's bytes: a file is hashed whenever it is copied.
struct LocalFile {
    QString path;
    bool exists = false;
    qint64 size = 0;
    QByteArray stamp;  // size and modification time, as the record keeps them
    QString manifest;  // the manifest of the version the record says this is; empty: unknown
    QByteArray sha;    // its SHA-256, as the record says or as computed; empty: unknown
};

// The folder's lock (index.pull.lock), held for a whole pull; its file holds the record.
class FolderLock {
public:
    // Raises component::Error (errnum::kPropagation) naming the folder when another
    // pull holds the lock or the lock file cannot be made.
    explicit FolderLock(const QString& folder);
    QByteArray Read() const { return m_lock.Read(); }
    // A record that cannot be written costs the next pull a hash of index.db, nothing more.
    void Write(const QByteArray& record) const { m_lock.Write(record); }

private:
    zarvik::files::FileLock m_lock;
};

struct Folder {
    QString path;
    LocalFile index;
    LocalFile previous;
    QString claimed;  // the manifest the record names for index.db, even when it is another file now
};

// The folder's two files and what the record says of those it still describes.
Folder ReadFolder(const QString& folder, const FolderLock& lock);
// The record of folder's files once `installed` (index.db's manifest, stamp and SHA-256)
// is in place and the former index.db has become index.previous.db.
QByteArray Record(const LocalFile& installed, const LocalFile& previous);
// `file` with its stamp as it is now on disk.
LocalFile Restamped(LocalFile file);

// The SHA-256 of file, computed once (file.sha). Raises component::Error naming the
// file when it cannot be read.
const QByteArray& HashOf(LocalFile& file);
// Copies `from` into `working` while hashing it; returns whether its SHA-256 is
// `expected`. Raises component::Error naming the file that cannot be read, or the
// folder that cannot be written, with the system's reason.
bool CopyHashed(const LocalFile& from, QFile& working, const QByteArray& expected, const QString& folder);

// A file in the folder without a name, so that a killed pull leaves nothing behind,
// with room for `room` bytes taken on the disk. Raises component::Error naming the
// folder with the system's reason ("No space left on device").
std::unique_ptr<QFile> UnnamedFile(const QString& folder, qint64 room);
// Gives the new file the old one's owner, group and mode, syncs it and swaps it in; the
// old file stays as index.previous.db, and index.db is never missing for a reader.
// Raises component::Error naming the folder with the system's reason.
void Install(QFile& working, const QString& folder, const LocalFile& held);
// The names a pull killed between its link and its rename left; with the lock held, no
// other pull is using one.
void RemoveLeftBehind(const QString& folder);

// "<what>: <the system's reason for errno>".
QString SystemError(const QString& what);

}  // namespace pull
