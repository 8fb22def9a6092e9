// The build log "indexlog.dat" that the /log switch turns on.
#pragma once

#include <QString>

#include "component/searchengine.h"

namespace zarvik::index {
// The file the engine's builds log to; empty when logging is off. The engine tells
// where the log goes.
QString IndexLogPath(const component::SearchEngine* engine);
// Appends one line: local time, index, event, details, separated by tabs. A log
// that cannot be written costs the build nothing, so failures are ignored.
// Writes one warning to the event log when the log file cannot be opened for appending,
// naming the file, the reason and how to allow it; the build goes on without it.
void WarnIfIndexLogUnwritable(const QString& logPath);
void AppendIndexLog(const QString& logPath, const QString& indexName, const QString& event,
                    const QString& details);
}  // namespace zarvik::index
