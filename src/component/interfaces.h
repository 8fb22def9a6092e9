// The objects of the indexing component as the program uses them. The program talks
// only to these interfaces; the component library implements them and tests replace
// them with scripted fakes.
//
// Every operation may raise component::Error (number, source, description); the
// notes below say when an operation raises in its normal use.
#pragma once

#include "component/error.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <memory>

namespace component {

// One entry of the index list: the name LoadIndex takes and the text the list shows.
struct IndexEntry {
    QString name;
    QString display;
    bool operator==(const IndexEntry&) const = default;
};
using IndexList = QList<IndexEntry>;

// One named connection text of an index ("Primary", "RAdozudo", ...).
struct DataSource {
    QString name;
    QString text;
    bool operator==(const DataSource&) const = default;
};
using DataSourceList = QList<DataSource>;

// What a finished index must satisfy before it replaces the live one (<Verify>).
struct VerifySettings {
    std::int64_t minDocuments = 0;  // at least this many documents
    int maxShrinkPercent = 50;      // at most this many percent fewer than the live index; 100: any
    QStringList checkQueries;       // each must match at least one document
    bool operator==(const VerifySettings&) const = default;
};

// How the user-node computation reads the catalog (<UserNodeMethod>): Memory reads
// CATALOGNODE and the assignments once; Queries sends one statement per step.
enum class UserNodeMethod { Memory, Queries };

// How Build makes the new index (<BuildMode>, <MaxChangedPercent>). Full indexes every
// document anew. Changes applies to a copy of the live index only the documents that
// differ from it, and builds in full (saying why) when that cannot be done or when more
// than maxChangedPercent of the documents changed.
enum class BuildMode { Full, Changes };
struct BuildModeSettings {
    BuildMode mode = BuildMode::Full;
    int maxChangedPercent = 30;
    bool operator==(const BuildModeSettings&) const = default;
};

// What the last Build did: Changes when it applied the changes to a copy of the live
// index, else Full (with the reason when the index's mode is Changes), and how many
// documents it added, replaced and deleted (a full build adds them all).
struct BuildReport {
    BuildMode mode = BuildMode::Full;
    QString fullBuildReason;
    std::int64_t added = 0;
    std::int64_t replaced = 0;
    std::int64_t deleted = 0;
};

// The bytes a propagation sent to one target: over the link for a target on another
// machine, the bytes copied for a local folder.
struct TargetBytes {
    QString target;
    std::int64_t bytes = 0;
};

// Implemented by whoever shows a build's progress (the main dialog).
class StatusHandler {
public:
    virtual ~StatusHandler() = default;
    virtual void UpdateStatus(const QString& statusText) = 0;
    virtual void ProcessEvents() = 0;
};

// The loaded index configuration and its current index.
class IndexConfiguration {
public:
    virtual ~IndexConfiguration() = default;

    // Raises when the file cannot be read or is malformed (the description names
    // the file, line and column).
    virtual void LoadFromFile(const QString& path) = 0;
    // Makes the named index current. Raises when there is no index of that name.
    virtual void LoadIndex(const QString& name) = 0;
    virtual IndexList GetIndexList() const = 0;

    // Properties of the current index; empty texts when no index is current.
    virtual QString IndexName() const = 0;
    virtual QString DbSetting1() const = 0;
    virtual QString DbSetting2() const = 0;
    virtual DataSourceList DbDataSources() const = 0;
    // Absolute path of the index folder.
    virtual QString IndexPath() const = 0;
    // Propagation targets (absolute); empty stands for Empty.
    virtual QStringList Propagations() const = 0;
    virtual QString IndexDataSource() const = 0;
    virtual QString IndexSetting1() const = 0;
    virtual QString IndexSetting2() const = 0;
    virtual QString IndexSetting3() const = 0;
    virtual QString IndexSetting4() const = 0;
    virtual QString LastBuilt() const = 0;
    virtual QString NumDocuments() const = 0;
    // The checks a new index of the current index must pass; the defaults when no
    // index is current or the file has no <Verify>.
    virtual VerifySettings Verify() const = 0;
    // Memory when the element is missing or empty.
    virtual UserNodeMethod GetUserNodeMethod() const = 0;
    // The defaults when no index is current or the elements are missing or empty.
    virtual BuildModeSettings GetBuildMode() const = 0;
    // Writing saves the configuration file at once. Raises when no index is current
    // or the file cannot be saved; the file then stays as it was.
    virtual void SetLastBuilt(const QString& value) = 0;
    virtual void SetNumDocuments(const QString& value) = 0;
    // The folder that receives the monitoring files of every build (absolute); empty
    // when the configuration names none. Independent of the current index.
    virtual QString MetricsDirectory() const = 0;
};

// One match of a search, best first.
struct SearchHit {
    double rank = 0;         // bm25: smaller is better
    QString key;             // the document key
    QString title;           // the value of SearchResults::titleColumn
    QStringList stored;      // the stored columns' values, in SearchResults::storedColumns order
    // A short passage with each matched term between kMatchStart and kMatchEnd.
    QString snippet;
};

struct SearchResults {
    std::int64_t total = 0;  // all matches, not only the rows returned
    QString titleColumn;     // the first searched column; empty when there is none
    QStringList storedColumns;
    QList<SearchHit> hits;
    // When and how the searched index was built ("Built <time> by applying the changes:
    // ..." or "Built <time> in full."); empty for an index that does not record it.
    QString howBuilt;
};

// The marks around a matched term in a snippet; they never occur in text.
inline constexpr QChar kMatchStart = QChar(0x0002);
inline constexpr QChar kMatchEnd = QChar(0x0003);

// The full-text engine.
class SearchEngine {
public:
    virtual ~SearchEngine() = default;
    virtual std::int16_t MajorVersion() const = 0;
    virtual std::int16_t MinorVersion() const = 0;
    virtual std::int32_t BuildNumber() const = 0;
    // Searches the index in the folder indexPath (or, when indexPath names a file,
    // that index file, such as a kept previous or refused index) with the engine's
    // query syntax and returns the total and the hits first .. first + count - 1.
    // Raises when the index does not exist or cannot be opened (naming the path) and
    // when the query is rejected (with the engine's message).
    virtual SearchResults Search(const QString& indexPath, const QString& query, int first, int count) const = 0;
};

// An open database connection (ADO's Connection).
class Connection {
public:
    virtual ~Connection() = default;
    // Runs a statement that returns no rows; it takes effect at once unless a
    // transaction is open.
    virtual void Execute(const QString& sql) = 0;
    virtual void BeginTrans() = 0;
    virtual void CommitTrans() = 0;
    virtual void RollbackTrans() = 0;
    virtual void Close() = 0;
};

// A read result (ADO's Recordset). It stands on its first row, or at the end when
// there is none. The C library defines EOF, hence IsEOF/IsBOF.
class Recordset {
public:
    virtual ~Recordset() = default;
    virtual bool IsEOF() const = 0;
    virtual bool IsBOF() const = 0;
    // The value of a column of the current row, by column name (case-insensitive).
    // Raises at the end of the result or for an unknown column.
    virtual QVariant Field(const QString& column) const = 0;
    virtual void MoveNext() = 0;
    virtual void MoveFirst() = 0;
    // The rows from the current one to the end, as [column][row]; afterwards the
    // recordset stands at the end.
    virtual QList<QVariantList> GetRows() = 0;
};

// A result that collects added rows and sends them together (ADO's batch update).
// The table written to is the one the opening query selects from.
class UpdatableRecordset {
public:
    virtual ~UpdatableRecordset() = default;
    virtual void AddNew() = 0;
    // Sets a column of the row being added. Raises when no row is being added or
    // the column is not in the result.
    virtual void SetField(const QString& column, const QVariant& value) = 0;
    // Sends all added rows as one unit; raises and keeps none of them on failure.
    virtual void UpdateBatch() = 0;
    // Discards the added rows that were not sent.
    virtual void CancelBatch() = 0;
};

// A query's rows one at a time, in the order the database sends them, without the
// whole result held at once.
class RowStream {
public:
    virtual ~RowStream() = default;
    // The next row's values, in the order of the query's columns; false at the end.
    // Raises when reading fails (a lost server is not the end of the rows).
    virtual bool Next(QVariantList& row) = 0;
};

// Rewrites of one table's rows for many keys (one user each), sent together. Each
// unit is its delete and its new rows, and takes effect whole or not at all.
class RewriteBatch {
public:
    virtual ~RewriteBatch() = default;
    // Starts the next unit; deleteSql ("DELETE FROM <table> WHERE ...") removes the
    // rows the unit replaces. The units sent together rewrite distinct rows: no unit's
    // delete removes rows of another unit of the same Send.
    virtual void BeginUnit(const QString& deleteSql) = 0;
    // A new row of the current unit: a value for each column given at opening, in
    // that order. Raises without a unit or with another number of values.
    virtual void AddRow(const QVariantList& values) = 0;
    virtual qsizetype PendingUnits() const = 0;
    virtual qsizetype PendingRows() const = 0;
    // Sends the units begun since the last Send, in order, and commits them together;
    // afterwards none is pending. When a unit fails, the units before it are committed,
    // it and the units after it are not, and this raises with the database's message.
    // A process killed or a server lost during Send leaves the units of that Send all
    // in effect or none, and never a unit half.
    virtual void Send() = 0;
    // The units the last Send committed, each on disk when this is read (as far as
    // the database's own setting for the durability of a commit goes): all it sent
    // once it returned, the units before the failing one once it raised (none when
    // the commit itself failed).
    virtual qsizetype UnitsCommitted() const = 0;
    // Discards the units not sent.
    virtual void Cancel() = 0;
};

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

class IndexBuilder {
public:
    virtual ~IndexBuilder() = default;
    virtual bool Aborted() const = 0;
    virtual void SetAborted(bool aborted) = 0;
    // Number of documents in the index the last build produced.
    virtual std::int32_t DocumentCount() const = 0;
    // The handler must outlive the build.
    virtual void Configure(StatusHandler* statusHandler, std::shared_ptr<SearchEngine> engine,
                           const QString& indexName, const QString& indexPath,
                           const QString& resolvedSource, const QString& connection,
                           const QString& indexSetting3, const QString& indexSetting2,
                           const QString& indexSetting4, const QString& indexSetting1) = 0;
    // The checks the next Build applies to the new index; the defaults until called.
    virtual void SetVerify(const VerifySettings& verify) = 0;
    // How the next Build makes the new index; Full until called.
    virtual void SetBuildMode(const BuildModeSettings& settings) = 0;
    // After a successful Build; the defaults before one.
    virtual BuildReport LastBuild() const = 0;
    // True on success; false when aborted. Raises on failure, and when the new index
    // fails a check (the live index then stays as it was).
    virtual bool Build() = 0;
};

class IndexPropagator {
public:
    virtual ~IndexPropagator() = default;
    virtual void SetStatusHandler(StatusHandler* statusHandler) = 0;
    // False when one or more targets failed (each failure is in the event log).
    virtual bool Propagate(const QString& indexPath, const QStringList& targets) = 0;
    // How many targets the last Propagate could not update (0 before any).
    virtual std::int32_t FailedTargets() const = 0;
    // Per target of the last Propagate that was copied, in the order of the targets.
    virtual QList<TargetBytes> BytesSent() const = 0;
};

// The monitoring file of an index: a text file that a collector reads while the
// program may be replacing it, so it is only ever replaced whole.
class MetricsFile {
public:
    virtual ~MetricsFile() = default;
    // The file's bytes; empty when it does not exist or cannot be read. Raises nothing.
    virtual QByteArray Read(const QString& path) = 0;
    // Replaces the file by one holding text, so that a reader sees the old or the new
    // file and never a part of one. Raises (errnum::kMetricsWrite, naming the file and
    // the reason) when it cannot; the old file then stays as it was.
    virtual void Write(const QString& path, const QByteArray& text) = 0;
};

}  // namespace component
