// IndexingServices: data-source lookup, database access, event log and engine.
#pragma once

#include "component/configuration.h"
#include "component/searchengine.h"
#include "component/dataaccess.h"
#include "component/streams.h"
#include "component/services.h"

namespace zarvik {

class Services final : public component::IndexingServices {
public:
    QString GetConnectionString(const QString& dbSetting1, const QString& dbSetting2,
                                const QString& dataSourceName,
                                const component::DataSourceList& dataSources) override;
    std::unique_ptr<component::Connection> OpenConnection(const QString& connectionText) override;
    std::unique_ptr<component::Recordset> OpenRecordset(component::Connection& connection,
                                                        const QString& sql) override;
    std::unique_ptr<component::UpdatableRecordset> OpenUpdatableRecordset(component::Connection& connection,
                                                                          const QString& sql) override;
    std::unique_ptr<component::RowStream> OpenRowStream(component::Connection& connection,
                                                        const QString& sql) override;
    std::unique_ptr<component::RewriteBatch> OpenRewriteBatch(component::Connection& connection,
                                                              const QString& table,
                                                              const QStringList& columns) override;
    QString ResolveDataSource(const QString& name, const component::DataSourceList& dataSources) override;
    void WriteEventLog(const QString& source, const QString& message, std::int32_t type) override;
    std::shared_ptr<component::SearchEngine> CreateEngine(const QString& programDir, const QString& dataDir,
                                                          bool log) override;
};

}  // namespace zarvik
