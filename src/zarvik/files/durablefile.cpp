// Making files and renames survive a power cut; the one durable replacement of a file.
#include "zarvik/files/durablefile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zarvik::files {
namespace {
QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
}  // namespace

QString SyncToDisk(const QString& path) {
    const QByteArray p = QFile::encodeName(path);
    const int fd = ::open(p.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrnoText(errno);
    QString why;
    if (::fsync(fd) != 0) why = ErrnoText(errno);
    ::close(fd);
    return why;
}

QString DurableRename(const QString& from, const QString& to) {
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return ErrnoText(errno);
    return SyncToDisk(QFileInfo(to).absolutePath());
}

bool LeftBehindBy(qint64 pid) {
    if (pid <= 0) return false;
    return pid == ::getpid() || (::kill(pid_t(pid), 0) != 0 && errno == ESRCH);
}

void RemoveLeftBehind(const QString& folder, const QString& marker, const QString& fileName) {
    const QDir dir(folder);
    const QString pattern = (fileName.isEmpty() ? QStringLiteral("*") : fileName) + marker + QLatin1Char('*');
    for (const QString& name : dir.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::System)) {
        // The process number follows the last marker and ends at the next '-', if any.
        const QString rest = name.section(marker, -1);
        bool isNumber = false;
        const qint64 pid = rest.section(QLatin1Char('-'), 0, 0).toLongLong(&isNumber);
        if (isNumber && LeftBehindBy(pid)) QFile::remove(dir.filePath(name));
    }
}

DurableFile::DurableFile(const QString& target, const QString& marker) {
    const QFileInfo info(target);
    m_target = info.isSymLink() ? info.canonicalFilePath() : info.absoluteFilePath();
    if (m_target.isEmpty()) {
        // A link whose end does not exist: write where it points, as a plain save would.
        m_target = info.symLinkTarget();
    }
    const QByteArray nativeTarget = QFile::encodeName(m_target);
    struct stat original {};
    const bool haveOriginal = ::stat(nativeTarget.constData(), &original) == 0;
    // A file its owner made read-only is not replaced behind its back, although the
    // rename that replaces it needs only the folder to be writable.
    if (haveOriginal && ::faccessat(AT_FDCWD, nativeTarget.constData(), W_OK, AT_EACCESS) != 0) {
        m_failure = QStringLiteral("cannot write %1: %2").arg(m_target, ErrnoText(errno));
        return;
    }

    RemoveLeftBehind(QFileInfo(m_target).absolutePath(), marker, QFileInfo(m_target).fileName());
    // The process number in the name tells a write still running from one that was
    // killed half-way.
    QByteArray temp = nativeTarget + QFile::encodeName(marker) + QByteArray::number(qint64(::getpid())) + "-XXXXXX";
    m_fd = ::mkstemp(temp.data());
    const int error = errno;  // before the texts below, whose calls may change it
    m_temporary = QFile::decodeName(temp);
    if (m_fd < 0) {
        m_failure = QStringLiteral("cannot create a file in %1: %2").arg(QFileInfo(m_target).absolutePath(), ErrnoText(error));
        m_temporary.clear();
        return;
    }
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    if (haveOriginal) {
        if (::fchmod(m_fd, original.st_mode & 07777) != 0) {
            Fail(m_temporary, errno);
            return;
        }
        // Only root may hand a file to someone else; anyone else keeps their own.
        [[maybe_unused]] const int ignored = ::fchown(m_fd, original.st_uid, original.st_gid);
    } else {
        // mkstemp makes 0600; a new file others read gets the usual mode.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(m_fd, 0666 & ~mask);
    }
}

DurableFile::~DurableFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_temporary.isEmpty()) ::unlink(QFile::encodeName(m_temporary).constData());
}

QString DurableFile::Fail(const QString& what, int error) {
    m_failure = QStringLiteral("cannot write %1: %2").arg(what, ErrnoText(error));
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (!m_temporary.isEmpty()) ::unlink(QFile::encodeName(m_temporary).constData());
    m_temporary.clear();
    return m_failure;
}

QString DurableFile::Write(const char* data, qint64 size) {
    if (m_fd < 0) return m_failure.isEmpty() ? QStringLiteral("the file is already closed") : m_failure;
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, data + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(m_temporary, errno);
        }
        done += n;
    }
    return {};
}

QString DurableFile::Commit(const std::function<QString(const QString& temporaryPath)>& verify) {
    if (m_fd < 0) return m_failure.isEmpty() ? QStringLiteral("the file is already closed") : m_failure;
    if (::fsync(m_fd) != 0) return Fail(m_temporary, errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) return Fail(m_temporary, errno);
    if (verify) {
        if (QString why = verify(m_temporary); !why.isEmpty()) {
            m_failure = why;
            ::unlink(QFile::encodeName(m_temporary).constData());
            m_temporary.clear();
            return m_failure;
        }
    }
    if (::rename(QFile::encodeName(m_temporary).constData(), QFile::encodeName(m_target).constData()) != 0) {
        const int error = errno;
        m_failure = QStringLiteral("cannot replace %1: %2").arg(m_target, ErrnoText(error));
        ::unlink(QFile::encodeName(m_temporary).constData());
        m_temporary.clear();
        return m_failure;
    }
    m_temporary.clear();
    // The rename itself reaches the disk with the folder; the file is in place
    // either way, so a folder that cannot be synced is not a failure of the write.
    SyncToDisk(QFileInfo(m_target).absolutePath());
    return {};
}

QString ReplaceFileDurably(const QString& path, const QByteArray& bytes) {
    DurableFile file(path, QStringLiteral(".tmp-"));
    if (QString why = file.Open(); !why.isEmpty()) return why;
    if (QString why = file.Write(bytes); !why.isEmpty()) return why;
    return file.Commit();
}

}  // namespace zarvik::files
