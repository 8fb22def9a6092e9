// The event log: syslog, or the JSON-lines file named by ZARVIK_EVENT_LOG.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace zarvik::files {

// How a source and a message go to syslog. An ident is one word: journald and
// most syslog daemons end it at the first blank, so with "App (index=x)" as ident
// the entry would carry no identifier at all. The first word of the source is the
// ident and the rest of the source, if any, leads the text.
struct SyslogEntry {
    QByteArray ident;
    QByteArray text;
};
SyslogEntry SyslogEntryFor(const QString& source, const QString& message);

// Writes one entry. type: 0 error, 1 warning, 2 information (any other value is
// taken as information). Without ZARVIK_EVENT_LOG the entry goes to syslog(3) as
// SyslogEntryFor makes it. When ZARVIK_EVENT_LOG names a file, one JSON line
// {"time","source","type","message"} is appended to it instead.
// Raises component::Error (errnum::kEventLog) when that file cannot be opened or
// written; the description names the file and the reason.
void WriteEvent(const QString& source, const QString& message, std::int32_t type);

}  // namespace zarvik::files
