// The event log.
#include "zarvik/eventlog.h"

#include "component/error.h"

namespace zarvik {
void WriteEvent(const QString&, const QString&, std::int32_t) {
    component::ThrowNotImplemented(QStringLiteral("ZarvikIndexing.IndexingServices"), QStringLiteral("WriteEventLog"));
}
}  // namespace zarvik
