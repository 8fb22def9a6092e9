// The owner, group and mode of an index as tests give and check them: an owner and
// group an administrator gives the index to (a web server's), under a strict umask.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <ostream>

namespace testsupport {

struct Ownership {
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    mode_t mode = 0;
    bool operator==(const Ownership&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Ownership& o) {
    return out << o.uid << ':' << o.gid << " 0" << std::oct << o.mode << std::dec;
}

// As root, someone else: nobody and the group adm; otherwise this process's own.
inline Ownership ReaderOwnership(mode_t mode) {
    const group* adm = ::geteuid() == 0 ? ::getgrnam("adm") : nullptr;
    return adm ? Ownership{65534, adm->gr_gid, mode} : Ownership{::geteuid(), ::getegid(), mode};
}

inline bool Give(const QString& path, const Ownership& o) {
    const QByteArray p = QFile::encodeName(path);
    return ::chown(p.constData(), o.uid, o.gid) == 0 && ::chmod(p.constData(), o.mode) == 0;
}

inline Ownership OwnershipOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {uid_t(-1), gid_t(-1), 0};
    return {st.st_uid, st.st_gid, mode_t(st.st_mode & 07777)};
}

// The umask of a cron job or a careful shell, for as long as it lives.
struct ScopedUmask {
    explicit ScopedUmask(mode_t mask) : saved(::umask(mask)) {}
    ~ScopedUmask() { ::umask(saved); }
    const mode_t saved;
};

}  // namespace testsupport
