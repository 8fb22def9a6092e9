// The one lock file of the program: the index build's and the readers' agent's.
#include "zarvik/files/filelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

namespace zarvik::files {
namespace {

QString SystemReason() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

FileLock::FileLock(const QString& path, Wait wait, bool create) {
    const QByteArray name = QFile::encodeName(path);
    m_fd = ::open(name.constData(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (m_fd < 0 && errno == EISDIR) m_fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) {
        m_why = SystemReason();
        return;
    }
    int rc;
    while ((rc = ::flock(m_fd, LOCK_EX | (wait == Wait::kYes ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (rc == 0) {
        m_held = true;
        return;
    }
    m_busy = errno == EWOULDBLOCK;
    m_why = m_busy ? QStringLiteral("held by another process") : SystemReason();
}

FileLock::~FileLock() {
    if (m_fd >= 0) ::close(m_fd);
}

QByteArray FileLock::Read() const {
    char buffer[4096];
    const ssize_t n = m_held ? ::pread(m_fd, buffer, sizeof buffer, 0) : -1;
    return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
}

QString FileLock::Write(const QByteArray& text) const {
    if (!m_held) return m_why;
    if (::ftruncate(m_fd, 0) != 0 ||
        ::pwrite(m_fd, text.constData(), size_t(text.size()), 0) != text.size() || ::fsync(m_fd) != 0)
        return SystemReason();
    return {};
}

}  // namespace zarvik::files
