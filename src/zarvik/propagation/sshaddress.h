// What an ssh target text names: a folder on another machine reached through ssh,
// written ssh://[user@]host[:port]/absolute/path.
#pragma once

#include <QString>

namespace zarvik::propagation {

struct SshAddress {
    // The absolute folder on the far side.
    QString path;
    // user may be empty (ssh's own choice), port 0 (ssh's own).
    QString user;
    QString host;
    int port = 0;

    // "user@host" or "host" as ssh takes it.
    QString Login() const { return user.isEmpty() ? host : user + QLatin1Char('@') + host; }
};

// Reads one ssh target text (it begins with "ssh://" in any case). A text whose
// user, host, port or path ssh or rsync could read as an option or as shell syntax
// is refused. Returns the empty text on success, else why the target was refused;
// nothing here raises.
QString ReadSshAddress(const QString& text, SshAddress* address);

// Quotes a value for a POSIX shell on the far side ('...' with '\'' for a quote).
QString ShellQuote(const QString& value);

}  // namespace zarvik::propagation
