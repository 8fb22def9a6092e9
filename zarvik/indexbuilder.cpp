// IndexBuilder: builds one SQLite FTS5 index from a document query.
#include "zarvik/indexbuilder.h"

namespace zarvik {
namespace {
const QString kSource = QStringLiteral("ZarvikIndexing.IndexBuilder");
}

void Fts5IndexBuilder::Configure(component::IStatusHandler*, std::shared_ptr<component::SearchEngine>,
                                 const QString&, const QString&, const QString&, const QString&,
                                 const QString&, const QString&, const QString&, const QString&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("Configure"));
}

bool Fts5IndexBuilder::Build() { component::ThrowNotImplemented(kSource, QStringLiteral("Build")); }

}  // namespace zarvik
