// The owner, group and mode a replacing file inherits.
#include "zarvik/files/ownership.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <vector>

namespace zarvik::files {
namespace {

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A user's or group's name where the system knows it, else its number; the
// reentrant lookups, since targets are copied on several threads at once.
QString OwnerName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

QString GroupName(gid_t gid) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->gr_name);
    return QString::number(gid);
}

}  // namespace

QString InheritOwnership(const QString& file, const QString& replaced) {
    struct stat model {};
    mode_t mode = 0644;
    QString modelName = replaced;
    if (::stat(QFile::encodeName(replaced).constData(), &model) == 0) {
        mode = model.st_mode & 07777;
    } else {
        modelName = QFileInfo(replaced).absolutePath();
        if (::stat(QFile::encodeName(modelName).constData(), &model) != 0)
            return QStringLiteral("%1 could not be given the owner, group and mode of %2: %3")
                .arg(file, modelName, ErrnoText(errno));
    }
    const QByteArray path = QFile::encodeName(file);
    struct stat now {};
    if (::stat(path.constData(), &now) != 0)
        return QStringLiteral("%1 could not be given the owner, group and mode of %2: %3")
            .arg(file, modelName, ErrnoText(errno));
    QStringList missed;
    if ((now.st_uid != model.st_uid || now.st_gid != model.st_gid) &&
        ::chown(path.constData(), model.st_uid, model.st_gid) != 0) {
        // errno first: the name lookups may change it.
        const int ownerError = errno;
        if (now.st_uid != model.st_uid)
            missed << QStringLiteral("the owner %1 (%2)").arg(OwnerName(model.st_uid), ErrnoText(ownerError));
        // Without the right to give the file away, a member of the group may still
        // give the file to it.
        if (now.st_gid != model.st_gid && ::chown(path.constData(), uid_t(-1), model.st_gid) != 0) {
            const int groupError = errno;
            missed << QStringLiteral("the group %1 (%2)").arg(GroupName(model.st_gid), ErrnoText(groupError));
        }
    }
    // After the owner: a change of owner clears the set-user-ID and set-group-ID bits.
    if (::chmod(path.constData(), mode) != 0) {
        const int modeError = errno;
        missed << QStringLiteral("the mode %1 (%2)").arg(QString::number(mode, 8), ErrnoText(modeError));
    }
    if (missed.isEmpty()) return {};
    return QStringLiteral(
               "%1 could not be given %2 of %3, so readers that could read that may not read "
               "it (only root gives a file to another owner; any other owner only to a "
               "group of theirs)")
        .arg(file, missed.join(QStringLiteral(" and ")), modelName);
}

QString MakeFolderForReaders(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList missing;
    for (QString folder = absolute; !QFileInfo::exists(folder); folder = QFileInfo(folder).absolutePath()) {
        missing.prepend(folder);
        if (QFileInfo(folder).absolutePath() == folder) break;
    }
    for (const QString& folder : missing) {
        const QByteArray name = QFile::encodeName(folder);
        if (::mkdir(name.constData(), 0755) != 0) {
            if (errno == EEXIST) continue;  // made meanwhile by someone else: theirs
            return ErrnoText(errno);
        }
        // The umask of a cron job or a shell (077) would otherwise keep readers out.
        if (::chmod(name.constData(), 0755) != 0) return ErrnoText(errno);
    }
    if (!QFileInfo(absolute).isDir()) return ErrnoText(ENOTDIR);
    return {};
}

}  // namespace zarvik::files
