// The event log: syslog, or the JSON-lines file named by ZARVIK_EVENT_LOG.
#pragma once

#include <QString>
#include <cstdint>

namespace zarvik {

// Writes one entry. type: 0 error, 1 warning, 2 information (any other value is
// taken as information). Without ZARVIK_EVENT_LOG the entry goes to syslog(3) with
// source as its ident. When ZARVIK_EVENT_LOG names a file, one JSON line
// {"time","source","type","message"} is appended to it instead.
// Raises component::Error (errnum::kEventLog) when that file cannot be opened or
// written; the description names the file and the reason.
void WriteEvent(const QString& source, const QString& message, std::int32_t type);

}  // namespace zarvik
