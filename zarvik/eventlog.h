// The event log: syslog, or the JSON-lines file named by ZARVIK_EVENT_LOG.
#pragma once

#include <QString>
#include <cstdint>

namespace zarvik {
void WriteEvent(const QString& source, const QString& message, std::int32_t type);
}
