// Making files and renames survive a power cut, and the one way this library
// replaces a file that others read: a temporary file beside it, written and synced,
// renamed over it, and the folder synced, so a reader sees the old or the new file
// and never a part of one.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <functional>

namespace zarvik::files {
// Flushes the file or folder at path to disk. Returns the empty text on success,
// else the system's reason.
QString SyncToDisk(const QString& path);
// Renames from over to and makes the rename itself durable (fsync of the folder).
// Returns the empty text on success, else the system's reason.
QString DurableRename(const QString& from, const QString& to);
// Whether a temporary file that carries this process number in its name was left
// behind: its process has ended, or it is this process, whose writes of such files
// are over by the time it looks.
bool LeftBehindBy(qint64 pid);

// A new version of one file, written through "<target><marker><pid>-XXXXXX" beside
// it. When the target is a symbolic link, the file it points to is replaced and the
// link stays a link; a replaced file keeps its mode and, where allowed, its owner.
// A target this process may not write (a read-only file) is not replaced: Open
// tells why.
// Until Commit succeeds the target is untouched; a writer destroyed uncommitted
// removes its temporary file. Nothing here raises: each step returns the empty text
// on success, else the reason of the failure with the file it concerns.
class DurableFile {
public:
    // Opens the temporary file (Open tells whether that worked). Temporary files of
    // the same marker that ended processes left beside the target are removed first.
    DurableFile(const QString& target, const QString& marker);
    ~DurableFile();
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    // The empty text when the temporary file is open, else why it is not.
    QString Open() const { return m_failure; }
    QString Write(const char* data, qint64 size);
    QString Write(const QByteArray& bytes) { return Write(bytes.constData(), bytes.size()); }
    // Syncs, closes and renames the temporary file over the target, then syncs the
    // folder. After a failure the target is as it was and the temporary file is gone.
    // verify, when given, sees the synced and closed temporary file before the rename
    // and returns the empty text to let it go ahead, else the reason it may not.
    QString Commit(const std::function<QString(const QString& temporaryPath)>& verify = {});
    // The file that Commit replaces (the end of a symbolic link).
    const QString& Target() const { return m_target; }
    const QString& TemporaryPath() const { return m_temporary; }

private:
    QString Fail(const QString& what, int error);
    QString m_target;
    QString m_temporary;
    QString m_failure;
    int m_fd = -1;
};

// Replaces the file at path by one holding bytes, through a DurableFile with the
// marker ".tmp-". Returns the empty text on success, else the reason.
QString ReplaceFileDurably(const QString& path, const QByteArray& bytes);

// Removes the temporary files "<fileName><marker><pid>..." in folder that ended
// processes left behind (LeftBehindBy); an empty fileName stands for any name. Files
// of running processes are left to them.
void RemoveLeftBehind(const QString& folder, const QString& marker, const QString& fileName = {});
}  // namespace zarvik::files
