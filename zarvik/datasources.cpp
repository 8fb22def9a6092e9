// Looking up a named data source of an index.
#include "zarvik/datasources.h"

namespace zarvik {
namespace {
const QString kSource = QStringLiteral("ZarvikIndexing.IndexingServices");
}
QString ConnectionStringFor(const QString&, const QString&, const QString&, const component::DataSourceList&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("GetConnectionString"));
}
QString DataSourceText(const QString&, const component::DataSourceList&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("ResolveDataSource"));
}
}  // namespace zarvik
