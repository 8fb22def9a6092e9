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

}  // namespace component
