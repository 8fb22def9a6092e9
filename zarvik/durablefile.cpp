// Making files and renames survive a power cut.
#include "zarvik/durablefile.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zarvik {

QString SyncToDisk(const QString& path) {
    const QByteArray p = QFile::encodeName(path);
    const int fd = ::open(p.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return QString::fromLocal8Bit(std::strerror(errno));
    QString why;
    if (::fsync(fd) != 0) why = QString::fromLocal8Bit(std::strerror(errno));
    ::close(fd);
    return why;
}

QString DurableRename(const QString& from, const QString& to) {
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return SyncToDisk(QFileInfo(to).absolutePath());
}

bool LeftBehindBy(qint64 pid) {
    if (pid <= 0) return false;
    return pid == ::getpid() || (::kill(pid_t(pid), 0) != 0 && errno == ESRCH);
}

}  // namespace zarvik
