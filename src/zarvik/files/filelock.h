// A lock held across processes on a lock file, which may also hold a few bytes of
// its holder's record.
#pragma once

#include <QByteArray>
#include <QString>

namespace zarvik::files {

// flock() on the file at path (made when missing, mode 0644, unless `create` is false;
// a folder is locked as it is), taken without waiting unless `wait` says so. The kernel
// releases it when its holder ends, however it ends, so a killed run never leaves it
// taken. Nothing here raises: Held() says whether this object holds the lock; when it
// does not, Busy() says another holder has it, and Why() otherwise gives the system's
// reason.
class FileLock {
public:
    enum class Wait { kNo, kYes };
    explicit FileLock(const QString& path, Wait wait = Wait::kNo, bool create = true);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool Held() const { return m_held; }
    bool Busy() const { return m_busy; }
    const QString& Why() const { return m_why; }

    // The file's first bytes (at most 4096); empty when it cannot be read.
    QByteArray Read() const;
    // Replaces the file's content with text and syncs it. Returns the empty text on
    // success, else the system's reason.
    QString Write(const QByteArray& text) const;

private:
    int m_fd = -1;
    bool m_held = false;
    bool m_busy = false;
    QString m_why;
};

}  // namespace zarvik::files
