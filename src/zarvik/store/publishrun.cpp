// A run's folder lives under the system's temporary folder with a lock file that the
// run holds until it ends; the kernel frees the lock of a killed run, and that is how
// the next run knows the folder is a leftover it may remove.
#include "zarvik/store/publishrun.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QtEndian>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "zarvik/files/filelock.h"
#include "zarvik/store/manifest.h"
#include "zarvik/store/pages.h"

namespace zarvik::store {
namespace {

// A folder that a run is still making has no lock file yet: left alone for a while.
constexpr qint64 kUnlockedGraceSeconds = 600;

QString SystemError(const QString& what) {
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

// Removes the run folders whose lock no living run holds.
void RemoveLeftovers(const QDir& parent) {
    for (const QFileInfo& run :
         parent.entryInfoList({QStringLiteral("run-*")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString path = run.absoluteFilePath() + QStringLiteral("/lock");
        const bool hasLock = QFileInfo::exists(path);
        const bool leftover =
            hasLock ? files::FileLock(path, files::FileLock::Wait::kNo, false).Held()
                    : run.lastModified().secsTo(QDateTime::currentDateTime()) > kUnlockedGraceSeconds;
        if (leftover) QDir(run.absoluteFilePath()).removeRecursively();
    }
}

// The page size an SQLite file records in its header (bytes 16-17; 1 means 65536).
int PageSizeOf(QFile& file) {
    uchar header[18] = {};
    if (!file.seek(0) || file.read(reinterpret_cast<char*>(header), 18) != 18)
        Refuse(file.fileName(), QStringLiteral("this is not an SQLite file"));
    const int size = qFromBigEndian<quint16>(header + 16);
    return size == 1 ? 65536 : size;
}

// built, documents and the build mode, as the build recorded them in index_info.
void ReadIndexInfo(const QString& path, IndexFacts* facts) {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    facts->mode = QStringLiteral("full");
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(
            db, "SELECT name, value FROM index_info WHERE name IN ('built','documents','build_mode')", -1,
            &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const QString name =
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
            const QString value =
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
            if (name == QLatin1String("built")) facts->built = QString(value).remove(QLatin1Char(' '));
            if (name == QLatin1String("documents")) facts->documents = value.toLongLong();
            if (name == QLatin1String("build_mode") && value == QLatin1String("changes")) facts->mode = value;
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

}  // namespace

// The running user's folder of run folders, made private: in a temporary folder that
// every user shares, another user's folder of that name is refused, not used.
QDir UsersFolder(const QString& tempRoot) {
    const QString path = tempRoot + QStringLiteral("/lumora-publish-%1").arg(::geteuid());
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
        Refuse(path, SystemError(QStringLiteral("cannot make the folder for a publish's temporary files")));
    struct stat st = {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0)
        Refuse(path,
               QStringLiteral("the folder for a publish's temporary files is not this user's own private "
                              "folder; remove it, or set TMPDIR to another folder"));
    return QDir(path);
}

PublishRun::PublishRun(const QString& tempRoot) {
    const QDir parent = UsersFolder(tempRoot);
    RemoveLeftovers(parent);
    QByteArray folder = QFile::encodeName(parent.filePath(QStringLiteral("run-XXXXXX")));
    if (::mkdtemp(folder.data()) == nullptr) Refuse(parent.path(), SystemError(QStringLiteral("mkdtemp")));
    m_folder = QFile::decodeName(folder);
    m_lock = std::make_unique<files::FileLock>(m_folder + QStringLiteral("/lock"));
    if (!m_lock->Held()) {
        const QString why = QStringLiteral("cannot lock the folder: ") + m_lock->Why();
        QDir(m_folder).removeRecursively();
        Refuse(m_folder, why);
    }
}

PublishRun::~PublishRun() {
    QDir(m_folder).removeRecursively();
}

std::unique_ptr<QTemporaryFile> PublishRun::NewFile() const {
    auto file = std::make_unique<QTemporaryFile>(m_folder + QStringLiteral("/object-XXXXXX"));
    if (!file->open()) Refuse(file->fileTemplate(), file->errorString());
    return file;
}

const IndexFacts& PublishRun::Facts(const QString& indexFile) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_facts) return *m_facts;
    QFile index(indexFile);
    if (!index.open(QIODevice::ReadOnly)) Refuse(indexFile, index.errorString());
    IndexFacts facts;
    facts.size = index.size();
    facts.pageSize = PageSizeOf(index);
    facts.sha256 = Sha256Of(index, indexFile);
    ReadIndexInfo(indexFile, &facts);
    m_facts = facts;
    return *m_facts;
}

const CompressedFile& PublishRun::Whole(const QString& indexFile) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_whole) return *m_whole;
    QFile index(indexFile);
    if (!index.open(QIODevice::ReadOnly)) Refuse(indexFile, index.errorString());
    const QString path = m_folder + QStringLiteral("/whole.zst");
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) Refuse(path, out.errorString());
    const Written written = WriteWhole(index, out);
    m_whole = CompressedFile{path, written.size, written.sha256};
    return *m_whole;
}

}  // namespace zarvik::store
