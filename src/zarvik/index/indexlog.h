// The build log "indexlog.dat" that the /log switch turns on.
#pragma once

#include <QString>

#include "component/interfaces.h"

namespace zarvik::index {
// The file the engine's builds log to; empty when logging is off. The engine tells
// where the log goes.
QString IndexLogPath(const component::SearchEngine* engine);
// Appends one line: local time, index, event, details, separated by tabs. A log
// that cannot be written costs the build nothing, so failures are ignored.
void AppendIndexLog(const QString& logPath, const QString& indexName, const QString& event,
                    const QString& details);
}  // namespace zarvik::index
