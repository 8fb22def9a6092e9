// The loaded index configuration and the values it hands out.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/error.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

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

// How a store target publishes: a whole file at least every fullEvery versions, and
// keepPublished whole files kept with the packs after the oldest of them.
struct PublishSettings {
    int fullEvery = 10;     // <FullEvery>
    int keepPublished = 3;  // <KeepPublished>
    bool operator==(const PublishSettings&) const = default;
};

// Everything an <Index> tells a build, by name. The configuration makes it whole;
// the builder, the propagator and the user-node run each take what they need.
struct IndexSettings {
    // Every member has an initializer, so that a designated initializer may name only
    // the settings it sets.
    QString name{};
    QString path{};           // <IndexPath>, absolute
    QString dataSource{};     // <IndexDataSource>: the data source the documents come from
    QString query{};          // <IndexSetting1>: the first column is the key, the others text
    QString storedColumns{};  // <IndexSetting2>: columns stored but not searched, comma-separated
    QString tokenizer{};      // <IndexSetting3>: the FTS5 tokenizer; empty for FTS5's own
    QString prefix{};         // <IndexSetting4>: the prefix lengths, blank-separated
    QString columnWeights{};  // <ColumnWeights>: bm25's weight per searched column; empty: 1 each
    BuildModeSettings buildMode{};  // <BuildMode>, <MaxChangedPercent>
    VerifySettings verify{};        // <Verify>
    UserNodeMethod userNodeMethod = UserNodeMethod::Memory;  // <UserNodeMethod>
    QStringList targets{};          // <Propagations>: absolute folders and other kinds' texts
    PublishSettings publishing{};   // <FullEvery>, <KeepPublished>: for store targets
    bool operator==(const IndexSettings&) const = default;
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
    virtual QString IndexDataSource() const = 0;
    virtual QString LastBuilt() const = 0;
    virtual QString NumDocuments() const = 0;
    // The settings of the current index, whole; the defaults for every element that
    // is missing or empty, and when no index is current.
    virtual IndexSettings Settings() const = 0;
    // Memory when the element is missing or empty.
    virtual UserNodeMethod GetUserNodeMethod() const = 0;
    // Writing saves the configuration file at once. Raises when no index is current
    // or the file cannot be saved; the file then stays as it was.
    virtual void SetLastBuilt(const QString& value) = 0;
    virtual void SetNumDocuments(const QString& value) = 0;
    // The folder that receives the monitoring files of every build (absolute); empty
    // when the configuration names none. Independent of the current index.
    virtual QString MetricsDirectory() const = 0;
};

}  // namespace component
