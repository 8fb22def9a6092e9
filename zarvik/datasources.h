// Looking up a named data source of an index.
#pragma once

#include "component/interfaces.h"

namespace zarvik {
QString ConnectionStringFor(const QString& dbSetting1, const QString& dbSetting2, const QString& name,
                            const component::DataSourceList& dataSources);
QString DataSourceText(const QString& name, const component::DataSourceList& dataSources);
}  // namespace zarvik
