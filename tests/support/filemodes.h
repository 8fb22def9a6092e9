// What the tests of an index's owner, group and mode share: the owner and group an
// administrator gives the index to (a web server's), and a umask that keeps others out.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <ostream>

namespace testsupport {

// Someone other than this process where the test may hand files over (root): nobody
// and the group adm; else this process's own user and a group of its.
struct Ownership {
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    mode_t mode = 0;
};

inline Ownership ReaderOwnership(mode_t mode) {
    Ownership o;
    o.mode = mode;
    if (::geteuid() != 0) return o;
    o.uid = 65534;
    if (const group* adm = ::getgrnam("adm")) o.gid = adm->gr_gid;
    return o;
}

// Gives path the ownership; true when done.
inline bool Give(const QString& path, const Ownership& o) {
    const QByteArray p = QFile::encodeName(path);
    return ::chown(p.constData(), o.uid, o.gid) == 0 && ::chmod(p.constData(), o.mode) == 0;
}

inline Ownership OwnershipOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {uid_t(-1), gid_t(-1), 0};
    return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

inline bool operator==(const Ownership& a, const Ownership& b) {
    return a.uid == b.uid && a.gid == b.gid && a.mode == b.mode;
}

inline std::ostream& operator<<(std::ostream& out, const Ownership& o) {
    return out << o.uid << ':' << o.gid << " 0" << std::oct << o.mode << std::dec;
}

// The umask of a cron job or a careful shell, for as long as it lives.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : m_saved(::umask(mask)) {}
    ~ScopedUmask() { ::umask(m_saved); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t m_saved;
};

}  // namespace testsupport
