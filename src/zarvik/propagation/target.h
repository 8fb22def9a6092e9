// What a propagation target text names: a local folder, or a folder on another
// machine reached through ssh, written ssh://[user@]host[:port]/absolute/path.
#pragma once

#include <QString>

namespace zarvik::propagation {

struct PropagationTarget {
    bool remote = false;
    // The text as the configuration gave it, for messages.
    QString text;
    // A local target's absolute folder, or the absolute folder on the far side.
    QString path;
    // Remote targets only; user may be empty (ssh's own choice), port 0 (ssh's own).
    QString user;
    QString host;
    int port = 0;

    // "user@host" or "host" as ssh takes it.
    QString Login() const { return user.isEmpty() ? host : user + QLatin1Char('@') + host; }
};

// Reads one target text. Texts that begin with "ssh://" (in any case) are remote;
// every other text is a local folder, made absolute. A remote text whose user,
// host, port or path ssh or rsync could read as an option or as shell syntax is
// refused. Returns the empty text on success, else why the target was refused;
// nothing here raises.
QString ParsePropagationTarget(const QString& text, PropagationTarget* target);

// The text with its control characters written as \n, \r, \t or \xHH, for messages:
// a line break in a target text must not start a line of its own in the event log.
QString PrintableTargetText(const QString& text);

// Quotes a value for a POSIX shell on the far side ('...' with '\'' for a quote).
QString ShellQuote(const QString& value);

}  // namespace zarvik::propagation
