// Error reporting: one message for the user and one event-log entry with the same text.
#pragma once

#include <QString>
#include <cstdint>

#include "component/error.h"

namespace report {

// The report text of an error: description, the source, the number in hexadecimal
// and the request to contact the administrator.
QString ErrorReportText(const component::Error& error);

// Reports the error (number 0 means none: nothing is shown or logged, false).
// Logs first, then shows the box, then returns true. A failure while logging
// raises that error before anything is shown.
bool ReportError(const component::Error& error);

// For callers that absorb errors: reports the error like ReportError, but when
// logging fails the box still shows the report, followed by what stopped the log
// entry, so the failure never passes unseen. Raises nothing.
void ReportErrorAbsorbed(const component::Error& error) noexcept;

// One event-log entry with the source "TessalyIndexManager (indexName=<current>)".
// Raises when the entry cannot be written.
void LogEvent(const QString& message, std::int32_t eventType);

// The number as the report shows it: upper-case hexadecimal, 32-bit two's
// complement, no prefix, no leading zeros.
QString HexNumber(std::int32_t number);

}  // namespace report
