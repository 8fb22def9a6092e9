// The SearchEngine: SQLite FTS5.
#include "zarvik/engine.h"

namespace zarvik {
std::shared_ptr<component::SearchEngine> NewEngine(const QString&, const QString&, bool) {
    component::ThrowNotImplemented(QStringLiteral("ZarvikIndexing.IndexingServices"), QStringLiteral("CreateEngine"));
}
}  // namespace zarvik
