// The pull: read `current`, walk the manifests back to the version held or to a whole
// file, fetch and check each object, put the new file together where no reader sees
// it, check it, and swap it in. Nothing in the folder changes before the swap.
#include "pull/puller.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QList>
#include <cerrno>
#include <cstring>
#include <memory>

#include "zarvik/files/filelock.h"
#include "zarvik/files/indexcheck.h"
#include "zarvik/store/manifest.h"
#include "zarvik/store/pages.h"

namespace pull {
namespace {

using zarvik::store::Manifest;
using zarvik::store::Refuse;

constexpr int kMaxChain = 1000;

QString SystemError(const QString& what) {
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

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

// The folder's lock, whose file also remembers the version installed last with the
// size and time of the file it installed, so that a pull that finds nothing new needs
// neither a hash of index.db nor more than one request.
class FolderLock {
public:
    explicit FolderLock(const QString& folder) : m_lock(folder + QStringLiteral("/index.pull.lock")) {
        if (m_lock.Busy()) Refuse(folder, QStringLiteral("another pull of this folder is running"));
        if (!m_lock.Held()) Refuse(folder, QStringLiteral("cannot lock index.pull.lock: ") + m_lock.Why());
    }
    QByteArray Read() const { return m_lock.Read(); }
    // A record that cannot be written costs the next pull a hash of index.db, nothing more.
    void Write(const QByteArray& text) const { m_lock.Write(text); }

private:
    zarvik::files::FileLock m_lock;
};

QByteArray Remembered(qint64 version, const struct stat& st, const QByteArray& sha) {
    return QByteArray::number(version) + ' ' + QByteArray::number(qint64(st.st_size)) + ' ' +
           QByteArray::number(qint64(st.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qint64(st.st_mtim.tv_nsec)) + ' ' + sha.toHex() + '\n';
}

// What the folder holds: its version when the lock file remembers this very file,
// and the file's SHA-256 (hashed only when the version is not remembered).
struct Held {
    bool exists = false;
    qint64 version = 0;
    QByteArray sha;
    struct stat st = {};
};

Held ReadHeld(const QString& index, const FolderLock& lock, bool hashIt) {
    Held held;
    if (::stat(QFile::encodeName(index).constData(), &held.st) != 0) return held;
    held.exists = true;
    const QList<QByteArray> words = lock.Read().trimmed().split(' ');
    if (words.size() == 4 && Remembered(0, held.st, {}).split(' ').mid(1, 2) == words.mid(1, 2)) {
        held.version = words[0].toLongLong();
        held.sha = QByteArray::fromHex(words[3]);
        return held;
    }
    if (hashIt) {
        QFile file(index);
        if (file.open(QIODevice::ReadOnly)) held.sha = zarvik::store::Sha256Of(file, index);
    }
    return held;
}

QByteArray FetchSmall(zarvik::store::Store& store, const QString& name, qint64 maxBytes,
                      PullOutcome* outcome) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    outcome->bytesFetched += store.Fetch(name, maxBytes, buffer);
    ++outcome->objectsFetched;
    return buffer.data();
}

// The manifests from `current` back to the one of the version held (left out) or of
// a whole file (kept), newest first.
QList<Manifest> Chain(zarvik::store::Store& store, const zarvik::store::Current& current, Held& held,
                      const QString& index, const FolderLock& lock, PullOutcome* outcome) {
    QList<Manifest> chain;
    for (QString name = current.manifest;;) {
        Manifest m = zarvik::store::ParseManifest(
            FetchSmall(store, name, zarvik::store::kMaxManifestBytes, outcome), name);
        if (held.exists && held.sha.isEmpty()) held = ReadHeld(index, lock, true);
        if (held.exists && m.sha256 == held.sha) return chain;
        chain << m;
        if (m.object.whole) return chain;
        if (chain.size() > kMaxChain)
            Refuse(name, QStringLiteral("the chain of packs is longer than %1").arg(kMaxChain));
        name = m.baseManifest;
    }
}

// A file in the folder without a name, so that a killed pull leaves nothing behind.
std::unique_ptr<QFile> UnnamedFile(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) Refuse(folder, SystemError(QStringLiteral("cannot make a temporary file")));
    auto file = std::make_unique<QFile>();
    file->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle);
    return file;
}

// Fetches a data object and checks its size and SHA-256 before anything uses it.
std::unique_ptr<QFile> FetchObject(zarvik::store::Store& store, const QString& folder, const Manifest& m,
                                   PullOutcome* outcome) {
    std::unique_ptr<QFile> object = UnnamedFile(folder);
    const qint64 received = store.Fetch(m.object.name, m.object.size, *object);
    outcome->bytesFetched += received;
    ++outcome->objectsFetched;
    if (!object->flush()) Refuse(m.object.name, object->errorString());
    if (received != m.object.size)
        Refuse(m.object.name,
               QStringLiteral("%1 bytes arrived, the manifest says %2").arg(received).arg(m.object.size));
    if (zarvik::store::Sha256Of(*object, m.object.name) != m.object.sha256)
        Refuse(m.object.name, QStringLiteral("its SHA-256 is not the one its manifest names"));
    return object;
}

void CopyInto(const QString& index, QFile& working) {
    QFile source(index);
    if (!source.open(QIODevice::ReadOnly)) Refuse(index, source.errorString());
    QByteArray buffer;
    while (!(buffer = source.read(1 << 20)).isEmpty())
        if (working.write(buffer) != buffer.size()) Refuse(index, working.errorString());
}

// The index checks on a private mapping of the unnamed file: SQLite cannot open a
// file without a name, and whatever the check writes stays in this process's
// copy-on-write pages (the SHA-256 is compared afterwards anyway).
void CheckDatabase(QFile& working, const QString& name) {
    const size_t size = size_t(working.size());
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, working.handle(), 0);
    if (map == MAP_FAILED) Refuse(name, SystemError(QStringLiteral("cannot map the new index")));
    sqlite3* db = nullptr;
    QString why;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK ||
        sqlite3_deserialize(db, "main", static_cast<unsigned char*>(map), sqlite3_int64(size),
                            sqlite3_int64(size), 0) != SQLITE_OK)
        why = QString::fromUtf8(sqlite3_errmsg(db));
    else
        why = zarvik::files::CheckIndexFile(db);
    sqlite3_close(db);
    ::munmap(map, size);
    if (!why.isEmpty()) Refuse(name, QStringLiteral("the new index fails a check (%1)").arg(why));
}

// Gives the new file the old one's owner, group and mode (the folder's owner and
// group and 0644 when there is none), syncs it and swaps it in; the old file stays
// as index.previous.db, and index.db is never missing for a reader.
void Install(QFile& working, const QString& folder, const Held& held) {
    struct stat st = held.st;
    if (!held.exists) {
        if (::stat(QFile::encodeName(folder).constData(), &st) != 0) Refuse(folder, SystemError("stat"));
        st.st_mode = 0644;
    }
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

// The names a pull killed between its link and its rename left; with the lock held, no
// other pull is using one.
void RemoveLeftBehind(const QString& folder) {
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList({QStringLiteral("index.db.pull-*"), QStringLiteral("index.previous.db.pull-*")},
                       QDir::Files | QDir::Hidden))
        QFile::remove(dir.filePath(name));
}

}  // namespace

PullOutcome Pull(zarvik::store::Store& store, const QString& folder) {
    const QString index = folder + QStringLiteral("/index.db");
    const FolderLock lock(folder);
    RemoveLeftBehind(folder);
    PullOutcome outcome;
    const zarvik::store::Current current = zarvik::store::ParseCurrent(
        FetchSmall(store, QStringLiteral("current"), zarvik::store::kMaxCurrentBytes, &outcome),
        QStringLiteral("current"));
    Held held = ReadHeld(index, lock, false);
    outcome.version = current.version;
    if (held.exists && held.version == current.version) return outcome;

    const QList<Manifest> chain = Chain(store, current, held, index, lock, &outcome);
    if (chain.isEmpty()) {
        lock.Write(Remembered(current.version, held.st, held.sha));
        return outcome;
    }
    std::unique_ptr<QFile> working = UnnamedFile(folder);
    if (!chain.last().object.whole) CopyInto(index, *working);
    for (auto m = chain.crbegin(); m != chain.crend(); ++m) {
        std::unique_ptr<QFile> object = FetchObject(store, folder, *m, &outcome);
        if (m->object.whole)
            zarvik::store::ApplyWhole(*object, m->object.name, m->fileSize, *working);
        else
            zarvik::store::ApplyPack(*object, m->object.name, m->pageSize, m->fileSize, *working);
    }
    const Manifest& newest = chain.first();
    const QString& name = current.manifest;
    if (!working->flush() || working->size() != newest.fileSize)
        Refuse(name, QStringLiteral("the new index has %1 bytes, the manifest says %2")
                         .arg(working->size())
                         .arg(newest.fileSize));
    CheckDatabase(*working, name);
    if (zarvik::store::Sha256Of(*working, name) != newest.sha256)
        Refuse(name, QStringLiteral("the new index's SHA-256 is not the one the manifest names"));
    Install(*working, folder, held);
    struct stat st = {};
    ::stat(QFile::encodeName(index).constData(), &st);
    lock.Write(Remembered(current.version, st, newest.sha256));
    outcome.installed = true;
    return outcome;
}

}  // namespace pull
