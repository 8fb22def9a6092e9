// The services object: data-source lookup, connections, streams, the event log and the engine.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/error.h"
#include "component/configuration.h"
#include "component/dataaccess.h"
#include "component/streams.h"
#include "component/searchengine.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

namespace component {

class IndexingServices {
public:
    virtual ~IndexingServices() = default;
    // The connection text of the data source of that exact name with %DbSetting1%
    // and %DbSetting2% replaced; empty when there is none.
    virtual QString GetConnectionString(const QString& dbSetting1, const QString& dbSetting2,
                                        const QString& dataSourceName,
                                        const DataSourceList& dataSources) = 0;
    // Raises when the database cannot be opened.
    virtual std::unique_ptr<Connection> OpenConnection(const QString& connectionText) = 0;
    // Raises when the query fails. May return null.
    virtual std::unique_ptr<Recordset> OpenRecordset(Connection& connection, const QString& sql) = 0;
    virtual std::unique_ptr<UpdatableRecordset> OpenUpdatableRecordset(Connection& connection,
                                                                       const QString& sql) = 0;
    // Runs the query; its rows are read as the stream is. The connection serves
    // nothing else until the stream is gone. Raises when the query fails.
    virtual std::unique_ptr<RowStream> OpenRowStream(Connection& connection, const QString& sql) = 0;
    // A batch of rewrites of `table`, whose new rows set `columns`. The connection
    // must have no transaction open; the batch opens its own. Raises for a table or
    // column name that is not a plain identifier.
    virtual std::unique_ptr<RewriteBatch> OpenRewriteBatch(Connection& connection, const QString& table,
                                                           const QStringList& columns) = 0;
    // The text of the named data source, unchanged; empty when none.
    virtual QString ResolveDataSource(const QString& name, const DataSourceList& dataSources) = 0;
    // type: 0 error, 1 warning, 2 information. Raises when the entry cannot be written.
    virtual void WriteEventLog(const QString& source, const QString& message, std::int32_t type) = 0;
    virtual std::shared_ptr<SearchEngine> CreateEngine(const QString& programDir, const QString& dataDir,
                                                       bool log) = 0;
};

}  // namespace component
