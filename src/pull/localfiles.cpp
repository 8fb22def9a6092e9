// The reader's folder: its files, the record in its lock file, and the swap that puts
// a new index in place without a moment where index.db is missing.
#include "pull/localfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QList>
#include <cerrno>
#include <cstring>

#include "zarvik/files/sha256.h"
#include "zarvik/store/manifest.h"
#include "zarvik/store/pages.h"

namespace pull {
namespace {

using zarvik::store::Refuse;

constexpr qint64 kCopyBuffer = 1 << 20;

// A file descriptor closed with its owner.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

LocalFile Stat(const QString& path) {
    LocalFile file;
    file.path = path;
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return file;
    file.exists = true;
    file.size = qint64(st.st_size);
    file.stamp = QByteArray::number(file.size) + ' ' + QByteArray::number(qint64(st.st_mtim.tv_sec)) + '.' +
                 QByteArray::number(qint64(st.st_mtim.tv_nsec));
    return file;
}

// The record's word for "no manifest known".
const QByteArray kUnknown = "-";

QByteArray RecordLine(const char* role, const LocalFile& file) {
    if (!file.exists || file.sha.isEmpty()) return {};
    const QByteArray manifest = file.manifest.isEmpty() ? kUnknown : file.manifest.toUtf8();
    return QByteArray(role) + ' ' + manifest + ' ' + file.stamp + ' ' + file.sha.toHex() + '\n';
}

}  // namespace

QString SystemError(const QString& what) {
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

FolderLock::FolderLock(const QString& folder) : m_lock(folder + QStringLiteral("/index.pull.lock")) {
    if (m_lock.Busy()) Refuse(folder, QStringLiteral("another pull of this folder is running"));
    if (!m_lock.Held()) Refuse(folder, QStringLiteral("cannot lock index.pull.lock: ") + m_lock.Why());
}

// Each line: "index|previous MANIFEST SIZE MTIME SHA256"; a line applies to its file only
// while the file has the size and time it had when the line was written.
Folder ReadFolder(const QString& path, const FolderLock& lock) {
    Folder folder{path,
                  Stat(path + QStringLiteral("/index.db")),
                  Stat(path + QStringLiteral("/index.previous.db")),
                  {}};
    for (const QByteArray& line : lock.Read().split('\n')) {
        const QList<QByteArray> w = line.split(' ');
        if (w.size() != 5 || (w[0] != "index" && w[0] != "previous")) continue;
        LocalFile& file = w[0] == "index" ? folder.index : folder.previous;
        const QString manifest = w[1] == kUnknown ? QString() : QString::fromUtf8(w[1]);
        if (w[0] == "index") folder.claimed = manifest;
        if (!file.exists || file.stamp != w[2] + ' ' + w[3] || w[4].size() != 64) continue;
        file.manifest = manifest;
        file.sha = QByteArray::fromHex(w[4]);
    }
    return folder;
}

QByteArray Record(const LocalFile& installed, const LocalFile& previous) {
    return RecordLine("index", installed) + RecordLine("previous", previous);
}

LocalFile Restamped(LocalFile file) {
    const LocalFile now = Stat(file.path);
    file.exists = now.exists;
    file.size = now.size;
    file.stamp = now.stamp;
    return file;
}

const QByteArray& HashOf(LocalFile& file) {
    if (!file.sha.isEmpty()) return file.sha;
    QFile in(file.path);
    if (!in.open(QIODevice::ReadOnly)) Refuse(file.path, in.errorString());
    file.sha = zarvik::store::Sha256Of(in, file.path);
    return file.sha;
}

bool CopyHashed(const LocalFile& from, QFile& working, const QByteArray& expected, const QString& folder) {
    QFile source(from.path);
    if (!source.open(QIODevice::ReadOnly)) Refuse(from.path, source.errorString());
    zarvik::files::Sha256 hash;
    QByteArray buffer;
    while (!(buffer = source.read(kCopyBuffer)).isEmpty()) {
        hash.Add(buffer);
        if (working.write(buffer) != buffer.size())
            Refuse(folder, QStringLiteral("cannot write in it: ") + working.errorString());
    }
    if (source.error() != QFileDevice::NoError) Refuse(from.path, source.errorString());
    return hash.Result() == expected;
}

std::unique_ptr<QFile> UnnamedFile(const QString& folder, qint64 room) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) Refuse(folder, SystemError(QStringLiteral("cannot make a temporary file")));
    auto file = std::make_unique<QFile>();
    file->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle);
    // The room is taken before anything is written: a full disk is then told with the
    // system's reason, which a write that fails half-way through a buffer loses.
    if (room > 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, room) != 0 && errno != EOPNOTSUPP)
        Refuse(folder, SystemError(QStringLiteral("no room for %1 bytes").arg(room)));
    return file;
}

void Install(QFile& working, const QString& folder, const LocalFile& held) {
    struct stat st = {};
    if (::stat(QFile::encodeName(held.exists ? held.path : folder).constData(), &st) != 0)
        Refuse(folder, SystemError(QStringLiteral("stat")));
    if (!held.exists) st.st_mode = 0644;
    const int fd = working.handle();
    if (::fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) Refuse(folder, SystemError("chown"));
    if (::fchmod(fd, st.st_mode & 07777) != 0 || ::fsync(fd) != 0) Refuse(folder, SystemError("sync"));
    const QByteArray dir = QFile::encodeName(folder);
    const QByteArray pid = QByteArray::number(qint64(::getpid()));
    const QByteArray incoming = dir + "/index.db.pull-" + pid,
                     previous = dir + "/index.previous.db.pull-" + pid;
    const QByteArray live = dir + "/index.db";
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    ::unlink(incoming.constData());
    ::unlink(previous.constData());
    if (held.exists && (::link(live.constData(), previous.constData()) != 0 ||
                        ::rename(previous.constData(), (dir + "/index.previous.db").constData()) != 0))
        Refuse(folder, SystemError(QStringLiteral("cannot keep index.previous.db")));
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, incoming.constData(), AT_SYMLINK_FOLLOW) != 0 ||
        ::rename(incoming.constData(), live.constData()) != 0) {
        ::unlink(incoming.constData());
        Refuse(folder, SystemError(QStringLiteral("cannot rename the new index into place")));
    }
    const Fd folderFd(::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.fd >= 0) ::fsync(folderFd.fd);
}

void RemoveLeftBehind(const QString& folder) {
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList({QStringLiteral("index.db.pull-*"), QStringLiteral("index.previous.db.pull-*")},
                       QDir::Files | QDir::Hidden))
        QFile::remove(dir.filePath(name));
}

}  // namespace pull
