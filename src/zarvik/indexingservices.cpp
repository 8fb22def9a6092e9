// IndexingServices of the component library: each operation forwards to the part
// of the library that owns it.
#include "zarvik/indexingservices.h"

#include "zarvik/db/database.h"
#include "zarvik/config/datasources.h"
#include "zarvik/index/engine.h"
#include "zarvik/files/eventlog.h"

namespace zarvik {

QString Services::GetConnectionString(const QString& dbSetting1, const QString& dbSetting2,
                                      const QString& dataSourceName,
                                      const component::DataSourceList& dataSources) {
    return ConnectionStringFor(dbSetting1, dbSetting2, dataSourceName, dataSources);
}

std::unique_ptr<component::Connection> Services::OpenConnection(const QString& connectionText) {
    return db::OpenConnection(connectionText);
}

std::unique_ptr<component::Recordset> Services::OpenRecordset(component::Connection& connection,
                                                              const QString& sql) {
    return db::OpenRecordset(connection, sql);
}

std::unique_ptr<component::UpdatableRecordset> Services::OpenUpdatableRecordset(component::Connection& connection,
                                                                                const QString& sql) {
    return db::OpenUpdatableRecordset(connection, sql);
}

std::unique_ptr<component::RowStream> Services::OpenRowStream(component::Connection& connection,
                                                              const QString& sql) {
    return db::OpenRowStream(connection, sql);
}

std::unique_ptr<component::RewriteBatch> Services::OpenRewriteBatch(component::Connection& connection,
                                                                    const QString& table,
                                                                    const QStringList& columns) {
    return db::OpenRewriteBatch(connection, table, columns);
}

QString Services::ResolveDataSource(const QString& name, const component::DataSourceList& dataSources) {
    return DataSourceText(name, dataSources);
}

void Services::WriteEventLog(const QString& source, const QString& message, std::int32_t type) {
    files::WriteEvent(source, message, type);
}

std::shared_ptr<component::SearchEngine> Services::CreateEngine(const QString& programDir, const QString& dataDir,
                                                                bool log) {
    return NewEngine(programDir, dataDir, log);
}

}  // namespace zarvik
